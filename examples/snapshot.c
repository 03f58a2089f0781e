/* snapshot: connect to a module and print one reading of every analog input
 * in volts, and the digital inputs.
 *
 *   snapshot HOST COMMAND_PORT DATA_PORT
 */
#include <stdio.h>
#include <stdlib.h>

#include <kr2270c.h>

#define TIMEOUT_MS 2000

static int report(const char *what, int32_t status) {
  fprintf(stderr, "snapshot: %s: %s (%d)\n", what, KR2270_StatusText(status), (int)status);
  return 1;
}

static int print_snapshot(KR2270Device *dev) {
  int32_t zero[8], full[8], codes[8];
  uint8_t inputs[16];
  int32_t status;
  int ch, i;

  /* The module keeps the range an earlier client set; the conversion must
   * use the one the module has, so set it: 0 is 10 V full scale. */
  for (ch = 1; ch <= 8; ++ch) {
    status = KR2270_AdSetRange(dev, ch, 0, TIMEOUT_MS);
    if (status != 0) return report("range", status);
  }
  /* The module's calibration pair, adopted for conversion: without it the
   * volts come from the host's default pair, off by up to a thousand codes. */
  status = KR2270_AdReadZeroFull(dev, zero, full, TIMEOUT_MS);
  if (status != 0) return report("calibration", status);
  status = KR2270_AdReadAllOnce(dev, codes, TIMEOUT_MS);
  if (status != 0) return report("analog inputs", status);
  for (ch = 1; ch <= 8; ++ch) {
    double volts;
    status = KR2270_AdCodeToValue(dev, ch, &codes[ch - 1], 1, &volts);
    if (status != 0) return report("conversion", status);
    printf("ai%d %d %.6f\n", ch, (int)codes[ch - 1], volts);
  }
  status = KR2270_DiReadAllOnce(dev, inputs, TIMEOUT_MS);
  if (status != 0) return report("digital inputs", status);
  printf("di");
  for (i = 0; i < 16; ++i) printf(" %d", inputs[i]);
  printf("\n");
  return 0;
}

int main(int argc, char **argv) {
  KR2270Device *dev;
  int32_t status;
  int result;

  if (argc != 4) {
    fprintf(stderr, "usage: snapshot HOST COMMAND_PORT DATA_PORT\n");
    return 2;
  }
  dev = KR2270_DeviceCreate();
  if (dev == NULL) return report("create", KR2270_ERROR_ARGUMENT);
  status = KR2270_CmdConnect(dev, argv[1], 0, atoi(argv[2]), atoi(argv[3]), TIMEOUT_MS);
  if (status != 0) {
    KR2270_DeviceClose(dev);
    return report("connect", status);
  }
  result = print_snapshot(dev);
  KR2270_CmdClose(dev);
  KR2270_DeviceClose(dev);
  return result;
}
