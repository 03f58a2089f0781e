#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "limited_child.h"

namespace kr2270::test {

bool CanLimitFileSize() { return true; }

bool RunWithFileSizeLimit(std::int64_t limit_bytes, const std::function<std::string()>& body,
                          std::string* result) {
  int channel[2];
  if (pipe(channel) != 0) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    close(channel[0]);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
    const rlimit limit{static_cast<rlim_t>(limit_bytes), static_cast<rlim_t>(limit_bytes)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    const std::string out = body();
    const bool sent = write(channel[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  result->clear();
  char buffer[256];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;)
    result->append(buffer, static_cast<std::size_t>(n));
  close(channel[0]);
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kr2270::test
