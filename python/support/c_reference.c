/*
 * The same work as the Python package, done in C through the public header,
 * as the reference that the Python tests and benchmark compare against.
 *
 *   c_reference replay FILE OUT        replay all of FILE, dump every array to OUT
 *   c_reference replay-time FILE N     replay FILE N times, print groups_per_second=
 *   c_reference stream HOST PORT DATA SECONDS
 *                                      stream every channel at rate code 8 in
 *                                      10 ms blocks, print groups=, lost=, cpu_s=
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "kr2270c.h"

#define CHUNK_GROUPS (1 << 17)

typedef struct {
  int ad[8], ad_n, di, ct[4], ct_n, ec[2], ec_n;
} Layout;

typedef struct {
  uint64_t *index;
  int32_t *codes[8];
  double *values[8];
  uint16_t *di;
  uint32_t *ct[4], *ec[2];
} Arrays;

static void fail(const char *what, int32_t status) {
  fprintf(stderr, "c_reference: %s: %s (%d)\n", what, KR2270_StatusText(status), status);
  exit(1);
}

static void *checked_malloc(size_t bytes) {
  void *p = malloc(bytes ? bytes : 1);
  if (!p) {
    fprintf(stderr, "c_reference: out of memory\n");
    exit(1);
  }
  return p;
}

static Layout recorded_layout(KR2270Device *dev) {
  uint8_t ad[8], ct[4], ec[2], di[1];
  Layout l;
  memset(&l, 0, sizeof l);
  KR2270_DFRGetAdInFifo(dev, ad);
  KR2270_DFRGetCtInFifo(dev, ct);
  KR2270_DFRGetEcInFifo(dev, ec);
  KR2270_DFRGetDiInFifo(dev, di);
  for (int k = 0; k < 8; ++k)
    if (ad[k] & 1) l.ad[l.ad_n++] = k + 1;
  for (int k = 0; k < 4; ++k)
    if (ct[k] & 1) l.ct[l.ct_n++] = k + 1;
  for (int k = 0; k < 2; ++k)
    if (ec[k] & 1) l.ec[l.ec_n++] = k + 1;
  l.di = di[0] & 1;
  return l;
}

static void alloc_arrays(Arrays *a, const Layout *l, size_t n) {
  memset(a, 0, sizeof *a);
  a->index = checked_malloc(n * sizeof(uint64_t));
  for (int k = 0; k < l->ad_n; ++k) {
    a->codes[k] = checked_malloc(n * sizeof(int32_t));
    a->values[k] = checked_malloc(n * sizeof(double));
  }
  a->di = checked_malloc(n * sizeof(uint16_t));
  for (int k = 0; k < l->ct_n; ++k) a->ct[k] = checked_malloc(n * sizeof(uint32_t));
  for (int k = 0; k < l->ec_n; ++k) a->ec[k] = checked_malloc(n * sizeof(uint32_t));
}

/* Splits up to n buffered groups into the arrays at row, each with its
 * timeline index and converted with the settings in force for it; returns
 * the count. */
static int32_t split_fetch_convert(KR2270Device *dev, const Layout *l, Arrays *a, size_t row,
                                   int32_t n) {
  int32_t got = KR2270_HcCodeSplit(dev, n);
  if (got <= 0) return got;
  KR2270_HcCodeGetIndex(dev, a->index + row);
  for (int k = 0; k < l->ad_n; ++k) {
    KR2270_HcCodeGetAd(dev, l->ad[k], a->codes[k] + row);
    KR2270_HcAdCodeToValue(dev, l->ad[k], a->codes[k] + row, got, a->values[k] + row);
  }
  if (l->di) KR2270_HcCodeGetDi(dev, a->di + row);
  for (int k = 0; k < l->ct_n; ++k) KR2270_HcCodeGetCt(dev, l->ct[k], a->ct[k] + row);
  for (int k = 0; k < l->ec_n; ++k) KR2270_HcCodeGetEc(dev, l->ec[k], a->ec[k] + row);
  return got;
}

static size_t replay(KR2270Device *dev, const Layout *l, Arrays *a, size_t total) {
  size_t row = 0;
  while (row < total) {
    int32_t want = total - row < CHUNK_GROUPS ? (int32_t)(total - row) : CHUNK_GROUPS;
    int32_t got = 0;
    int32_t status = KR2270_DFRRead(dev, (double)row, want, &got);
    if (status != 0) fail("KR2270_DFRRead", status);
    if (got <= 0) break;
    for (int32_t taken = 0; taken < got;) {
      int32_t step = split_fetch_convert(dev, l, a, row + (size_t)taken, got - taken);
      if (step <= 0) fail("KR2270_HcCodeSplit", step);
      taken += step;
    }
    row += (size_t)got;
  }
  return row;
}

static KR2270Device *open_recording(const char *path, Layout *l, size_t *groups) {
  KR2270Device *dev = KR2270_DeviceCreate();
  int32_t status = KR2270_DFROpen(dev, path, 0);
  if (status != 0) fail("KR2270_DFROpen", status);
  double total = 0;
  KR2270_DFRGetGroupTotal(dev, &total, NULL);
  *groups = (size_t)total;
  *l = recorded_layout(dev);
  return dev;
}

static void write_all(FILE *f, const void *p, size_t size, size_t n) {
  if (n && fwrite(p, size, n, f) != n) {
    fprintf(stderr, "c_reference: short write\n");
    exit(1);
  }
}

static int cmd_replay(const char *path, const char *out_path) {
  Layout l;
  size_t total;
  KR2270Device *dev = open_recording(path, &l, &total);
  Arrays a;
  alloc_arrays(&a, &l, total);
  size_t n = replay(dev, &l, &a, total);
  FILE *out = fopen(out_path, "wb");
  if (!out) return 1;
  int64_t count = (int64_t)n;
  write_all(out, &count, sizeof count, 1);
  write_all(out, a.index, sizeof(uint64_t), n);
  for (int k = 0; k < l.ad_n; ++k) write_all(out, a.codes[k], sizeof(int32_t), n);
  for (int k = 0; k < l.ad_n; ++k) write_all(out, a.values[k], sizeof(double), n);
  if (l.di) write_all(out, a.di, sizeof(uint16_t), n);
  for (int k = 0; k < l.ct_n; ++k) write_all(out, a.ct[k], sizeof(uint32_t), n);
  for (int k = 0; k < l.ec_n; ++k) write_all(out, a.ec[k], sizeof(uint32_t), n);
  fclose(out);
  KR2270_DeviceClose(dev);
  return 0;
}

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static double cpu_s(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

static int cmd_replay_time(const char *path, int repeats) {
  Layout l;
  size_t total;
  KR2270Device *dev = open_recording(path, &l, &total);
  Arrays a;
  alloc_arrays(&a, &l, total);
  replay(dev, &l, &a, total); /* warm the page cache and the arrays */
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    double t0 = now_s();
    replay(dev, &l, &a, total);
    double t = now_s() - t0;
    if (t < best) best = t;
  }
  printf("groups=%zu groups_per_second=%.0f\n", total, (double)total / best);
  KR2270_DeviceClose(dev);
  return 0;
}

static int cmd_stream(const char *host, int port, int data_port, double seconds) {
  KR2270Device *dev = KR2270_DeviceCreate();
  int32_t status = KR2270_CmdConnect(dev, host, 0, port, data_port, 2000);
  if (status != 0) fail("KR2270_CmdConnect", status);
  uint8_t all8[8] = {1, 1, 1, 1, 1, 1, 1, 1}, all4[4] = {1, 1, 1, 1}, all2[2] = {1, 1};
  for (int k = 1; k <= 8; ++k) KR2270_AdSetRange(dev, k, 0, 1000);
  KR2270_AdInFifo(dev, all8, 4, 1000);
  KR2270_DiInFifo(dev, 1, 1000);
  KR2270_CtInFifo(dev, all4, 1000);
  KR2270_EcInFifo(dev, all2, 1000);
  KR2270_HcSetFreq(dev, 8, 1000);
  KR2270_HcSetTranBytesCount(dev, 1129 * 58, 1000);
  const Layout l = {{1, 2, 3, 4, 5, 6, 7, 8}, 8, 1, {1, 2, 3, 4}, 4, {1, 2}, 2};
  const int32_t block = 2560; /* 10 ms at 256000 groups/s */
  Arrays a;
  alloc_arrays(&a, &l, (size_t)block * 64);
  double cpu0 = cpu_s(), t0 = now_s();
  status = KR2270_HcStart(dev, 1, 2000);
  if (status != 0) fail("KR2270_HcStart", status);
  uint64_t groups = 0;
  while (now_s() - t0 < seconds) {
    int32_t ready = KR2270_HcWaitGroups(dev, block, 1000);
    if (ready < 0) break;
    int32_t n = ready < block * 64 ? ready : block * 64;
    int32_t got = split_fetch_convert(dev, &l, &a, 0, n);
    if (got > 0) groups += (uint64_t)got;
  }
  KR2270_HcStart(dev, 0, 2000);
  double wall = now_s() - t0, cpu = cpu_s() - cpu0;
  uint64_t lost = 0;
  KR2270_HcGetLostGroups(dev, &lost);
  printf("groups=%llu lost=%llu cpu_s=%.4f wall_s=%.4f\n", (unsigned long long)groups,
         (unsigned long long)lost, cpu, wall);
  KR2270_CmdClose(dev);
  KR2270_DeviceClose(dev);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "replay") == 0) return cmd_replay(argv[2], argv[3]);
  if (argc == 4 && strcmp(argv[1], "replay-time") == 0)
    return cmd_replay_time(argv[2], atoi(argv[3]));
  if (argc == 6 && strcmp(argv[1], "stream") == 0)
    return cmd_stream(argv[2], atoi(argv[3]), atoi(argv[4]), atof(argv[5]));
  fprintf(stderr, "usage: c_reference replay FILE OUT | replay-time FILE N | "
                  "stream HOST PORT DATA SECONDS\n");
  return 2;
}
