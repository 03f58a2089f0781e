/* record_playback: record a short acquisition of analog channels 1 and 2 and
 * the digital inputs into DIR, replay the recording through a second handle
 * and check that it holds exactly the groups received live.
 *
 *   record_playback HOST COMMAND_PORT DATA_PORT DIR [GROUPS]
 */
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <kr2270c.h>

#define TIMEOUT_MS 2000
#define RATE_CODE 56 /* 8000 groups per second */
#define GROUP_BYTES 10 /* two 4-byte codes and the 2-byte input word */
#define HEADER_BYTES 318 /* at the start of every recording file */
#define CHUNK 4096
#define MAX_IDLE_POLLS 1500 /* 3 s of 2 ms polls */

/* The codes of one run: channel 1, channel 2, input word, per group. */
struct run {
  int32_t *ai1, *ai2;
  uint16_t *di;
  long count, capacity;
};

static int report(const char *what, int32_t status) {
  fprintf(stderr, "record_playback: %s: %s (%d)\n", what, KR2270_StatusText(status), (int)status);
  return 1;
}

static void sleep_2ms(void) {
  struct timespec pause = {0, 2000000};
  nanosleep(&pause, NULL);
}

static int run_alloc(struct run *r, long capacity) {
  r->ai1 = malloc((size_t)capacity * sizeof *r->ai1);
  r->ai2 = malloc((size_t)capacity * sizeof *r->ai2);
  r->di = malloc((size_t)capacity * sizeof *r->di);
  r->count = 0;
  r->capacity = capacity;
  return r->ai1 != NULL && r->ai2 != NULL && r->di != NULL;
}

static void run_free(struct run *r) {
  free(r->ai1);
  free(r->ai2);
  free(r->di);
}

/* Splits up to `wanted` buffered groups into the run; returns the number. */
static int32_t take(KR2270Device *dev, struct run *r, long wanted) {
  int32_t n = KR2270_HcCodeCanReadGroupCount(dev);
  if (n < 0) return report("count", n), n;
  if (n > wanted) n = (int32_t)wanted;
  if (n > r->capacity - r->count) n = (int32_t)(r->capacity - r->count);
  if (n > CHUNK) n = CHUNK;
  if (n <= 0) return n;
  n = KR2270_HcCodeSplit(dev, n);
  if (n < 0) return report("split", n), n;
  if (n == 0) return 0;
  if (KR2270_HcCodeGetAd(dev, 1, r->ai1 + r->count) != n ||
      KR2270_HcCodeGetAd(dev, 2, r->ai2 + r->count) != n ||
      KR2270_HcCodeGetDi(dev, r->di + r->count) != n)
    return report("fetch", KR2270_ERROR_ARGUMENT), -1;
  r->count += n;
  return n;
}

static int64_t recorded_data_bytes(KR2270Device *dev) {
  int64_t bytes = 0;
  int32_t files = 0;
  if (KR2270_DFWGetInfo(dev, &bytes, &files) != 0) return -1;
  return bytes - (int64_t)HEADER_BYTES * files;
}

static int setup(KR2270Device *dev) {
  const uint8_t enable[8] = {1, 1, 0, 0, 0, 0, 0, 0};
  int32_t status;
  if ((status = KR2270_AdInFifo(dev, enable, 4, TIMEOUT_MS)) != 0) return report("channels", status);
  if ((status = KR2270_DiInFifo(dev, 1, TIMEOUT_MS)) != 0) return report("digital inputs", status);
  if ((status = KR2270_HcSetFreq(dev, RATE_CODE, TIMEOUT_MS)) != 0) return report("rate", status);
  /* 80 groups: 10 ms of stream. */
  if ((status = KR2270_HcSetTranBytesCount(dev, 80 * GROUP_BYTES, TIMEOUT_MS)) != 0)
    return report("transfer size", status);
  return 0;
}

static int record(KR2270Device *dev, const char *dir, long groups, struct run *live) {
  int idle = 0, wait;
  int32_t status = KR2270_DFWOpen(dev, dir, 0);
  if (status != 0) return report("open recording", status);
  status = KR2270_HcStart(dev, 1, TIMEOUT_MS);
  if (status != 0) {
    KR2270_HcStart(dev, 0, TIMEOUT_MS);
    KR2270_DFWClose(dev);
    return report("start", status);
  }
  while (live->count < groups && idle < MAX_IDLE_POLLS) {
    int32_t n = take(dev, live, groups - live->count);
    if (n < 0) break;
    idle = n == 0 ? idle + 1 : 0;
    if (n == 0) sleep_2ms();
  }
  status = KR2270_HcStart(dev, 0, TIMEOUT_MS);
  if (status != 0) {
    KR2270_DFWClose(dev);
    return report("stop", status);
  }
  /* Everything received before the stop goes to the file too: take it, and
   * give the receiver thread (which appends a block to the file just after it
   * put it into the ring) up to 2 s to write the last one. */
  for (wait = 0; wait < 1000; ++wait) {
    while (take(dev, live, live->capacity) > 0) {
    }
    if (recorded_data_bytes(dev) >= (int64_t)live->count * GROUP_BYTES) break;
    sleep_2ms();
  }
  status = KR2270_DFWClose(dev);
  if (status != 0) return report("close recording", status);
  if (live->count < groups) {
    fprintf(stderr, "record_playback: only %ld of %ld groups arrived\n", live->count, groups);
    return 1;
  }
  return 0;
}

/* The first file of the newest recording in dir: the names start with the
 * time of the recording, so the greatest *_1.dat name is the newest. */
static int find_first_file(const char *dir, char *path, size_t size) {
  DIR *d = opendir(dir);
  struct dirent *entry;
  char best[256] = "";
  if (d == NULL) return 0;
  while ((entry = readdir(d)) != NULL) {
    size_t len = strlen(entry->d_name);
    if (len > 6 && strcmp(entry->d_name + len - 6, "_1.dat") == 0 && len < sizeof best &&
        strcmp(entry->d_name, best) > 0)
      strcpy(best, entry->d_name);
  }
  closedir(d);
  return best[0] != '\0' && (size_t)snprintf(path, size, "%s/%s", dir, best) < size;
}

static int replay(const char *path, struct run *played) {
  KR2270Device *dev = KR2270_DeviceCreate();
  double groups = 0.0, seconds = 0.0;
  int32_t status, read = 0;
  if (dev == NULL) return report("create", KR2270_ERROR_ARGUMENT);
  status = KR2270_DFROpen(dev, path, 0);
  if (status == 0) status = KR2270_DFRGetGroupTotal(dev, &groups, &seconds);
  if (status == 0 && !run_alloc(played, (long)groups + 1)) status = KR2270_ERROR_ARGUMENT;
  while (status == 0 && played->count < (long)groups) {
    status = KR2270_DFRRead(dev, (double)played->count, CHUNK, &read);
    if (status != 0 || read == 0) break;
    while (take(dev, played, read) > 0) {
    }
  }
  KR2270_DFRClose(dev);
  KR2270_DeviceClose(dev);
  if (status != 0) return report("replay", status);
  printf("recording %s: %.0f groups, %.3f s\n", path, groups, seconds);
  return 0;
}

static int same_runs(const struct run *a, const struct run *b) {
  return a->count == b->count &&
         memcmp(a->ai1, b->ai1, (size_t)a->count * sizeof *a->ai1) == 0 &&
         memcmp(a->ai2, b->ai2, (size_t)a->count * sizeof *a->ai2) == 0 &&
         memcmp(a->di, b->di, (size_t)a->count * sizeof *a->di) == 0;
}

int main(int argc, char **argv) {
  KR2270Device *dev;
  struct run live, played = {0};
  char path[1024];
  long groups = 8000;
  int32_t status;
  int result;

  if (argc != 5 && argc != 6) {
    fprintf(stderr, "usage: record_playback HOST COMMAND_PORT DATA_PORT DIR [GROUPS]\n");
    return 2;
  }
  if (argc == 6) groups = atol(argv[5]);
  if (groups <= 0) {
    fprintf(stderr, "record_playback: GROUPS must be positive\n");
    return 2;
  }
  /* Room for the groups that arrive between the last split and the stop. */
  if (!run_alloc(&live, groups + 1000000)) return report("memory", KR2270_ERROR_ARGUMENT);
  dev = KR2270_DeviceCreate();
  if (dev == NULL) return report("create", KR2270_ERROR_ARGUMENT);
  status = KR2270_CmdConnect(dev, argv[1], 0, atoi(argv[2]), atoi(argv[3]), TIMEOUT_MS);
  result = status != 0 ? report("connect", status) : setup(dev);
  if (result == 0) result = record(dev, argv[4], groups, &live);
  KR2270_CmdClose(dev);
  KR2270_DeviceClose(dev);
  if (result == 0 && !find_first_file(argv[4], path, sizeof path)) {
    fprintf(stderr, "record_playback: no recording found in %s\n", argv[4]);
    result = 1;
  }
  if (result == 0) result = replay(path, &played);
  if (result == 0) {
    printf("live groups %ld, replayed groups %ld\n", live.count, played.count);
    printf("replay matches live: %s\n", same_runs(&live, &played) ? "yes" : "no");
    if (!same_runs(&live, &played)) result = 1;
  }
  run_free(&live);
  run_free(&played);
  return result;
}
