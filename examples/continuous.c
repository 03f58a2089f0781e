/* continuous: stream analog channels 1 to 4 at 4000 groups per second,
 * split and convert them as they arrive, and print each channel's mean,
 * minimum and maximum in volts.
 *
 *   continuous HOST COMMAND_PORT DATA_PORT [GROUPS]
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <kr2270c.h>

#define TIMEOUT_MS 2000
#define CHANNELS 4
#define RATE_CODE 52     /* 4000 groups per second */
#define RATE 4000
#define MAX_IDLE_POLLS 1500 /* 3 s of 2 ms polls without data */

struct stats {
  double sum, min, max;
  long count;
};

static int report(const char *what, int32_t status) {
  fprintf(stderr, "continuous: %s: %s (%d)\n", what, KR2270_StatusText(status), (int)status);
  return 1;
}

static void sleep_2ms(void) {
  struct timespec pause = {0, 2000000};
  nanosleep(&pause, NULL);
}

static int setup(KR2270Device *dev) {
  const uint8_t enable[8] = {1, 1, 1, 1, 0, 0, 0, 0};
  int32_t zero[8], full[8];
  int32_t status;
  /* About 10 ms of stream per transfer: 40 groups of 4 x 4 bytes. */
  const int32_t transfer_bytes = RATE / 100 * CHANNELS * 4;

  int32_t ch;

  if ((status = KR2270_AdInFifo(dev, enable, 4, TIMEOUT_MS)) != 0) return report("channels", status);
  /* 10 V full scale: the module may keep another range from an earlier run. */
  for (ch = 1; ch <= CHANNELS; ++ch)
    if ((status = KR2270_AdSetRange(dev, ch, 0, TIMEOUT_MS)) != 0) return report("range", status);
  if ((status = KR2270_HcSetFreq(dev, RATE_CODE, TIMEOUT_MS)) != 0) return report("rate", status);
  if ((status = KR2270_HcSetTranBytesCount(dev, transfer_bytes, TIMEOUT_MS)) != 0)
    return report("transfer size", status);
  /* The module's calibration pair, adopted for conversion: without it the
   * volts come from the host's default pair, off by up to a thousand codes. */
  if ((status = KR2270_AdReadZeroFull(dev, zero, full, TIMEOUT_MS)) != 0)
    return report("calibration", status);
  return 0;
}

/* Splits what is buffered (at most `wanted` groups) and adds it to the stats.
 * Returns the count, or a negative status after reporting it. */
static int32_t take(KR2270Device *dev, int32_t wanted, struct stats *stats) {
  static int32_t codes[4096];
  static double volts[4096];
  int32_t n = KR2270_HcCodeCanReadGroupCount(dev);
  int32_t ch, i, status;

  if (n < 0) return report("count", n), n;
  if (n > wanted) n = wanted;
  if (n > 4096) n = 4096;
  if (n == 0) return 0;
  n = KR2270_HcCodeSplit(dev, n);
  if (n < 0) return report("split", n), n;
  for (ch = 1; ch <= CHANNELS && n > 0; ++ch) {
    struct stats *s = &stats[ch - 1];
    if ((status = KR2270_HcCodeGetAd(dev, ch, codes)) != n)
      return report("fetch", status < 0 ? status : KR2270_ERROR_ARGUMENT), -1;
    if ((status = KR2270_AdCodeToValue(dev, ch, codes, n, volts)) != 0)
      return report("convert", status), status;
    for (i = 0; i < n; ++i) {
      s->sum += volts[i];
      if (s->count == 0 || volts[i] < s->min) s->min = volts[i];
      if (s->count == 0 || volts[i] > s->max) s->max = volts[i];
      ++s->count;
    }
  }
  return n;
}

static int acquire(KR2270Device *dev, long groups) {
  struct stats stats[CHANNELS] = {{0}};
  long done = 0;
  uint64_t lost = 0;
  int idle = 0, ch;
  int32_t status = KR2270_HcStart(dev, 1, TIMEOUT_MS);

  if (status != 0) {
    KR2270_HcStart(dev, 0, TIMEOUT_MS);
    return report("start", status);
  }
  while (done < groups && idle < MAX_IDLE_POLLS) {
    long left = groups - done;
    int32_t n = take(dev, left > 4096 ? 4096 : (int32_t)left, stats);
    if (n < 0) break;
    if (n == 0) {
      ++idle;
      sleep_2ms();
    } else {
      idle = 0;
      done += n;
    }
  }
  status = KR2270_HcStart(dev, 0, TIMEOUT_MS);
  if (status != 0) return report("stop", status);
  if (done < groups) {
    fprintf(stderr, "continuous: only %ld of %ld groups arrived\n", done, groups);
    return 1;
  }
  /* Groups the ring had to drop are missing from the statistics. */
  if ((status = KR2270_HcGetLostGroups(dev, &lost)) != 0) return report("lost groups", status);
  printf("groups %ld lost %llu\n", done, (unsigned long long)lost);
  if (lost != 0) return 1;
  for (ch = 1; ch <= CHANNELS; ++ch)
    printf("ai%d mean %.6f min %.6f max %.6f\n", ch, stats[ch - 1].sum / (double)done,
           stats[ch - 1].min, stats[ch - 1].max);
  return 0;
}

int main(int argc, char **argv) {
  KR2270Device *dev;
  int32_t status;
  long groups = RATE;
  int result;

  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: continuous HOST COMMAND_PORT DATA_PORT [GROUPS]\n");
    return 2;
  }
  if (argc == 5) groups = atol(argv[4]);
  if (groups <= 0) {
    fprintf(stderr, "continuous: GROUPS must be positive\n");
    return 2;
  }
  dev = KR2270_DeviceCreate();
  if (dev == NULL) return report("create", KR2270_ERROR_ARGUMENT);
  status = KR2270_CmdConnect(dev, argv[1], 0, atoi(argv[2]), atoi(argv[3]), TIMEOUT_MS);
  if (status != 0) {
    KR2270_DeviceClose(dev);
    return report("connect", status);
  }
  result = setup(dev);
  if (result == 0) result = acquire(dev, groups);
  KR2270_CmdClose(dev);
  KR2270_DeviceClose(dev);
  return result;
}
