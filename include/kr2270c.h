/*
 * kr2270c - driver library for the KR2270C Ethernet data-acquisition module.
 *
 * The module has 8 analog inputs (24-bit codes), 16 digital inputs, 12 digital
 * outputs, 4 counters, 2 encoders, 4 pulse outputs and a watchdog. The library
 * talks to it over two TCP/IPv4 connections: Modbus/TCP commands on the command
 * port, and the raw sample stream on the data port.
 *
 * Conventions that hold for every function below unless its comment says
 * otherwise:
 *
 *  - The first argument is the handle returned by KR2270_DeviceCreate.
 *  - Functions that talk to the module take the reply time-out in milliseconds
 *    as their last argument (0 = wait without limit). A call returns within
 *    its own time-out (plus scheduling slack), and never takes a late reply
 *    to an earlier, timed-out request for its own: such replies are thrown
 *    away as they arrive, and one more than 500 ms late counts as dropped.
 *    While a late reply of the same kind (read or write) is still owed, a
 *    call whose time-out ends before it can come waits for it and, if it
 *    does not come in time, returns -2 without sending anything; a call of
 *    the other kind is sent at once.
 *  - Channels, counters, encoders and outputs are numbered from 1; in arrays,
 *    element 0 belongs to line 1. Arrays belong to the caller and must hold the
 *    number of elements given in the comment.
 *  - The result is an int32_t status: 0 on success, a count where the comment
 *    says so, a negative KR2270_ERROR_* code on failure. KR2270_StatusText
 *    gives a readable text for every code.
 *  - On failure nothing is written to the caller's output arrays.
 *
 * Threading: command functions may be called from several threads on one
 * handle; each request/reply exchange is atomic. The split, fetch, conversion
 * and playback functions of one handle must be called from one thread at a
 * time. KR2270_DeviceCreate and KR2270_DeviceClose must not run concurrently
 * with other calls on the same handle. Each handle owns one receiver thread.
 */
#ifndef KR2270C_H
#define KR2270C_H

#include <stdint.h>

/* KR2270_API marks the exports. On Windows a program that uses the DLL gets
 * the dllimport declarations; define KR2270_STATIC when linking a static copy. */
#if defined(_WIN32)
#if defined(KR2270_BUILDING_LIBRARY)
#define KR2270_API __declspec(dllexport)
#elif defined(KR2270_STATIC)
#define KR2270_API
#else
#define KR2270_API __declspec(dllimport)
#endif
#elif defined(KR2270_BUILDING_LIBRARY)
#define KR2270_API __attribute__((visibility("default")))
#else
#define KR2270_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Opaque handle of one module. */
typedef struct KR2270Device KR2270Device;

/** Status codes. Never renumbered. */
enum KR2270Status {
  KR2270_OK = 0,
  KR2270_ERROR_ARGUMENT = -1,     /* null handle, bad argument, refused state,
                                     or a Modbus exception other than 4 */
  KR2270_ERROR_TIMEOUT = -2,      /* no reply within the time-out */
  KR2270_ERROR_RESET = -3,        /* connection reset by the module */
  KR2270_ERROR_SOCKET = -4,       /* other socket failure, or not connected */
  KR2270_ERROR_WRITE_ECHO = -5,   /* a write was answered with a bad echo */
  KR2270_ERROR_READ_REPLY = -6,   /* a read was answered with a bad reply */
  KR2270_ERROR_EXCEPTION4 = -7,   /* Modbus exception 4 (server device failure) */
  KR2270_ERROR_RANGE = -8,        /* counter or channel out of range, or missing array */
  KR2270_ERROR_NETSTART = -100,   /* the socket library did not start */
  KR2270_ERROR_CONNECT = -101,    /* connection not established, or bad address */
  KR2270_ERROR_FILE = -201,       /* file or directory missing, path too long,
                                     or no next file name */
  KR2270_ERROR_FILE_WRITE = -202, /* short write to a recording */
  KR2270_ERROR_FILE_READ = -203,  /* bad recording header, start beyond the end,
                                     or short read */
  KR2270_ERROR_FILE_SEEK = -204,  /* positioning in a recording file failed */
  KR2270_ERROR_FILE_CLOSE = -205  /* closing a recording file failed */
};

/* ===========================================================================
 * Device lifecycle
 * ======================================================================== */

/** Creates a handle with every setting at its default (all eight analog
 *  channels streamed with 4-byte codes, ranges of 10 V, calibration pair
 *  4194303/8388607, counter base periods of 1000 ms, everything else 0), a
 *  32 MiB stream ring and an idle receiver thread. Returns NULL only when the
 *  record cannot be allocated. */
KR2270_API KR2270Device *KR2270_DeviceCreate(void);

/** Stops the receiver thread (returns within about one second in every case)
 *  and releases the handle together with everything it still holds: command
 *  and data connections, an open recording and an attached reader. Sends
 *  nothing to the module. NULL does nothing. The handle is invalid after. */
KR2270_API void KR2270_DeviceClose(KR2270Device *device);

/* ===========================================================================
 * Command connection
 * ======================================================================== */

/** Opens the command connection.
 *  ip         dotted-decimal IPv4 address text (no name lookup).
 *  ip_length  characters to take from ip (at most 19), or 0 for the text up to
 *             its terminator (at most 19 characters).
 *  port       command port (low 16 bits used).
 *  data_port  data port, stored for KR2270_HcStart.
 *  timeout_ms bounds the connection attempt (0 = one immediate check).
 *  Returns 0, -1 (null handle), -100, or -101 (bad address, over-long text,
 *  refused or not established within the time-out). A second connect closes
 *  the earlier connection first. */
KR2270_API int32_t KR2270_CmdConnect(KR2270Device *device, const char *ip,
                                     uint32_t ip_length, int32_t port,
                                     int32_t data_port, int32_t timeout_ms);

/** Closes the command connection. The handle stays usable: it may connect
 *  again or replay recordings. NULL does nothing. Returns at once even while
 *  another thread waits for a reply (with or without a time-out): that call
 *  is woken and fails with -3 or -4. */
KR2270_API void KR2270_CmdClose(KR2270Device *device);

/** Re-sends every setting the handle mirrors, for a module that restarted or
 *  was changed by another client: what the handle holds is only what the
 *  module was last told. In this order, each with the register write of its
 *  own setter: the range of channels 1..8 (the Ex flag only changes the
 *  host's conversion), the analog stream enables with the code width (2 or
 *  4, as recorded), the end modes, the sleep flags, the counter modes, the
 *  base periods of counters 1..4 (as the clock divisors they were set as),
 *  the digital-input, counter and encoder stream enables, the rate code
 *  (skipped while none was ever set), the trigger (start bit clear), the
 *  trigger count and the transfer size. Nothing in the handle changes.
 *  Returns 0 when every write was accepted; otherwise stops at the first
 *  failure and returns its status (-2..-6). -1 with nothing sent for a null
 *  handle, while acquisition runs, or when a base period held (for example
 *  one loaded from a recording) has no 32-bit clock divisor. */
KR2270_API int32_t KR2270_CmdRestoreSettings(KR2270Device *device,
                                             int32_t timeout_ms);

/* ===========================================================================
 * Analog inputs: setup and snapshot
 *
 * Setters return 0, -1 (null handle or array, channel outside 1..8), or the
 * failure code of the exchange (-2..-6).
 * ======================================================================== */

/** Sets the input range of one channel. range_code (low 8 bits): 1 = 5 V,
 *  2 = 2 V, 3 = 1 V, any other = 10 V full scale. */
KR2270_API int32_t KR2270_AdSetRange(KR2270Device *device, int32_t channel,
                                     int32_t range_code, int32_t timeout_ms);

/** As KR2270_AdSetRange; with a non-zero ex flag, range codes 1, 2, 3 mean
 *  1 V, 0.1 V and 0.01 V full scale. Note the order: ex before range_code. */
KR2270_API int32_t KR2270_AdSetRangeEx(KR2270Device *device, int32_t channel,
                                       int32_t ex, int32_t range_code,
                                       int32_t timeout_ms);

/** Chooses the analog channels of the stream (enable[8], bit 0 of each byte)
 *  and the bytes per code (2 or 4; anything else is recorded as 4). The
 *  choice is recorded before sending and kept when the write fails.
 *  Refused (-1, nothing sent or recorded) while acquisition runs: a run keeps
 *  the layout it started with. */
KR2270_API int32_t KR2270_AdInFifo(KR2270Device *device, const uint8_t *enable,
                                   int32_t code_bytes, int32_t timeout_ms);

/** Sets the input end mode of each channel (mode[8], bit 0 of each byte).
 *  Recorded before sending and kept when the write fails. */
KR2270_API int32_t KR2270_AdSetEndMode(KR2270Device *device, const uint8_t *mode,
                                       int32_t timeout_ms);

/** Sets the two analog sleep flags (flag[2], bit 0 of each byte). */
KR2270_API int32_t KR2270_AdSetSleep(KR2270Device *device, const int8_t *flag,
                                     int32_t timeout_ms);

/** Sets the input source of each channel (source[8], values 0..3). */
KR2270_API int32_t KR2270_AdSetSource(KR2270Device *device, const uint8_t *source,
                                      int32_t timeout_ms);

/** Sends the full-voltage selector (low 8 bits of value). */
KR2270_API int32_t KR2270_AdFullVotage(KR2270Device *device, int32_t value,
                                       int32_t timeout_ms);

/** Reads the current raw code of all eight channels into codes[8] (24-bit
 *  codes in 32-bit words; see KR2270_AdOriginalCodeToCode). */
KR2270_API int32_t KR2270_AdReadAllOnce(KR2270Device *device, int32_t *codes,
                                        int32_t timeout_ms);

/* ===========================================================================
 * Digital inputs and outputs
 * ======================================================================== */

/** Reads the 16 digital inputs into inputs[16] (0 or 1 each). */
KR2270_API int32_t KR2270_DiReadAllOnce(KR2270Device *device, uint8_t *inputs,
                                        int32_t timeout_ms);

/** Sets the 12 digital outputs from outputs[12] (bit 0 of each byte). */
KR2270_API int32_t KR2270_DoWriteAllOnce(KR2270Device *device,
                                         const uint8_t *outputs, int32_t timeout_ms);

/** Sets the mode bit of each output from mode[12] (bit 0 of each byte). */
KR2270_API int32_t KR2270_DoSetMode(KR2270Device *device, const uint8_t *mode,
                                    int32_t timeout_ms);

/** Sets the level selector of each output from level[12] (0..3 each). */
KR2270_API int32_t KR2270_DoSetVotage(KR2270Device *device, const uint8_t *level,
                                      int32_t timeout_ms);

/** Puts the 16-bit digital-input word into the stream (bit 0 of flag).
 *  Recorded only when the module accepted it. Refused (-1, nothing sent)
 *  while acquisition runs. */
KR2270_API int32_t KR2270_DiInFifo(KR2270Device *device, int32_t flag,
                                   int32_t timeout_ms);

/* ===========================================================================
 * Counters and encoders
 * ======================================================================== */

/** Sets the base period of counter 1..4 in milliseconds, as a divisor of the
 *  module's 50 MHz clock; *achieved_ms (may be NULL) receives the period
 *  actually set. Returns 0, -1 (null handle, or a period that is not finite or
 *  whose divisor leaves the 64-bit range), -8 (counter outside 1..4), or the
 *  write's failure code. */
KR2270_API int32_t KR2270_CtSetFreqBase(KR2270Device *device, int32_t counter,
                                        double base_ms, double *achieved_ms,
                                        int32_t timeout_ms);

/** Sets the modes of all four counters (mode[4]: 0 count, 1 count per base
 *  period, 2 clear, 3 period measurement). */
KR2270_API int32_t KR2270_CtSetModeAll(KR2270Device *device, const int8_t *mode,
                                       int32_t timeout_ms);

/** Clears the counters whose clear[4] byte is non-zero: 1 ms base and mode 2
 *  for 2 ms, then the previous modes and base periods again. Returns 0 (the
 *  individual writes are not reported), -1 (null handle) or -8 (null array). */
KR2270_API int32_t KR2270_CtClear(KR2270Device *device, const uint8_t *clear,
                                  int32_t timeout_ms);

/** Chooses the counters of the stream. enable[4] is rewritten to bit 0 of each
 *  byte. Recorded before sending and kept when the write fails. Refused (-1,
 *  nothing sent, nothing rewritten) while acquisition runs. */
KR2270_API int32_t KR2270_CtInFifo(KR2270Device *device, uint8_t *enable,
                                   int32_t timeout_ms);

/** Chooses the encoders of the stream. enable[2] is rewritten to bit 0 of each
 *  byte. Recorded before sending and kept when the write fails. Refused (-1,
 *  nothing sent, nothing rewritten) while acquisition runs. */
KR2270_API int32_t KR2270_EcInFifo(KR2270Device *device, uint8_t *enable,
                                   int32_t timeout_ms);

/** Clears the encoders whose clear[2] byte has bit 0 set. */
KR2270_API int32_t KR2270_EcClear(KR2270Device *device, const uint8_t *clear,
                                  int32_t timeout_ms);

/** Reads the four counter values into values[4]. */
KR2270_API int32_t KR2270_CtReadAllOnce(KR2270Device *device, uint32_t *values,
                                        int32_t timeout_ms);

/** Reads the two encoder values into values[2]. */
KR2270_API int32_t KR2270_EcReadAllOnce(KR2270Device *device, uint32_t *values,
                                        int32_t timeout_ms);

/* ===========================================================================
 * Pulse outputs and watchdog
 * ======================================================================== */

/** Sets frequency (Hz) and duty cycle (0.0..1.0) of pulse output 1..4 in
 *  counts of the 50 MHz clock. *achieved_hz and *achieved_duty (each may be
 *  NULL) receive what was set. Returns 0, -1 (null handle, output outside
 *  1..4, a frequency that is zero, not finite or too small for a 64-bit count,
 *  a duty cycle that is not finite or gives a high time beyond a 64-bit
 *  count), or the write's failure code. */
KR2270_API int32_t KR2270_PwmSetPulse(KR2270Device *device, int32_t output,
                                      double frequency_hz, double duty,
                                      double *achieved_hz, double *achieved_duty,
                                      int32_t timeout_ms);

/** Sets the number of pulses output 1..4 gives when started. */
KR2270_API int32_t KR2270_PwmSetCount(KR2270Device *device, int32_t output,
                                      int32_t count, int32_t timeout_ms);

/** Sets the phase bit of each output from phase[4]. */
KR2270_API int32_t KR2270_PwmSetPhase(KR2270Device *device, const uint8_t *phase,
                                      int32_t timeout_ms);

/** Starts (1) or stops (0) each output from start[4]. */
KR2270_API int32_t KR2270_PwmStartAll(KR2270Device *device, const uint8_t *start,
                                      int32_t timeout_ms);

/** over[4] receives 1 for each output that has finished, 0 for each running. */
KR2270_API int32_t KR2270_PwmIsOver(KR2270Device *device, uint8_t *over,
                                    int32_t timeout_ms);

/** Switches the watchdog on (low 8 bits of enable non-zero) with the given
 *  period (low 16 bits sent), or off. */
KR2270_API int32_t KR2270_SetWtdStatus(KR2270Device *device, int32_t enable,
                                       int32_t period, int32_t timeout_ms);

/* ===========================================================================
 * Analog calibration
 * ======================================================================== */

/** Reads the zero and full-scale codes of all eight channels into zero[8] and
 *  full[8]. Each pair whose full code exceeds its zero code by more than 10000
 *  is adopted for KR2270_AdCodeToValue; the others are reported only. */
KR2270_API int32_t KR2270_AdReadZeroFull(KR2270Device *device, int32_t *zero,
                                         int32_t *full, int32_t timeout_ms);

/** Writes the zero code of channel 1..8 to the module (not adopted on the
 *  host until KR2270_AdReadZeroFull). */
KR2270_API int32_t KR2270_AdWriteZero(KR2270Device *device, int32_t channel,
                                      int32_t code, int32_t timeout_ms);

/** Writes the full-scale code of channel 1..8 to the module. */
KR2270_API int32_t KR2270_AdWriteFull(KR2270Device *device, int32_t channel,
                                      int32_t code, int32_t timeout_ms);

/** Reads the module's 32-bit reference value into *value. */
KR2270_API int32_t KR2270_AdReadRef(KR2270Device *device, int32_t *value,
                                    int32_t timeout_ms);

/** Writes the module's 32-bit reference value. */
KR2270_API int32_t KR2270_AdWriteRef(KR2270Device *device, int32_t value,
                                     int32_t timeout_ms);

/* ===========================================================================
 * Acquisition setup
 * ======================================================================== */

/** Sets the rate code: 8 = 256000, 16 = 16000, 24 = 128000, 36 = 32000,
 *  40 = 64000, 48 = 1000, 52 = 4000, 56 = 8000 groups per second (16 and 48
 *  are decimated on the host). Other codes return -1 with nothing sent, and
 *  so does any code while acquisition runs. */
KR2270_API int32_t KR2270_HcSetFreq(KR2270Device *device, int32_t rate_code,
                                    int32_t timeout_ms);

/** Sets the trigger (enable: bit 0, mode: 0..3). Refused (-1) while
 *  acquisition runs. */
KR2270_API int32_t KR2270_HcSetTri(KR2270Device *device, int32_t enable,
                                   int32_t mode, int32_t timeout_ms);

/** Sets the transfer size: the bytes the receiver asks the data connection
 *  for at a time (low 16 bits are sent to the module). A size of about 10 ms
 *  of stream is a good choice; see the README. */
KR2270_API int32_t KR2270_HcSetTranBytesCount(KR2270Device *device,
                                              int32_t bytes, int32_t timeout_ms);

/** Sets the trigger count. */
KR2270_API int32_t KR2270_HcSetTriCount(KR2270Device *device, int32_t count,
                                        int32_t timeout_ms);

/** Returns the size of one stream group in bytes (0..58), or -1 for a null
 *  handle. No module traffic. */
KR2270_API int32_t KR2270_HcGetGroupBc(KR2270Device *device);

/** Sets the averaging count (0 = none; averaging needs only analog channels
 *  in the stream). *rate_out (may be NULL) receives the resulting output rate
 *  in values per second. Refused (-1) while acquisition runs. */
KR2270_API int32_t KR2270_AdFilterTimesPC(KR2270Device *device, int32_t times,
                                          double *rate_out);

/* ===========================================================================
 * Acquisition
 * ======================================================================== */

/** Starts (bit 0 of start set) or stops acquisition.
 *  Start: refused with -1 and nothing sent when acquisition already runs, a
 *  reader is attached (KR2270_DFROpen; detach it first), the transfer size is
 *  0 or less, no channel is enabled, the averaging count is negative, or
 *  averaging is asked for with non-analog channels in the stream. The run
 *  keeps the settings of this moment: the receiver, the splitter and every
 *  recording header of the run use them, and the stream layout and rate
 *  setters are refused until the stop. Groups still buffered after the stop
 *  are split with the run's layout. Resets the stream ring and the lost-group
 *  count, enables the stream, opens the data connection (-101 when it
 *  cannot) and sets the start bit. Stop: closes the data connection, clears
 *  the stream enable and the start bit (both are tried; the first failure is
 *  returned, the stream is stopped on the host either way); buffered groups
 *  can still be split. Returns 0 or the status of the failing step.
 *  What a start sends: at rate codes 16 and 48 the transfer size rounded to
 *  whole windows of 2 or 4 groups, then the stream enable (register 23 = 1)
 *  and the trigger byte with the start bit. Nothing else: it relies on the
 *  module still holding every other setting as the handle last sent it (the
 *  stream enables and code width, the rate, ranges, counter setup, trigger
 *  count); the host splits and converts by those. After a module restart,
 *  or when another client may have changed it, call
 *  KR2270_CmdRestoreSettings before the start. */
KR2270_API int32_t KR2270_HcStart(KR2270Device *device, int32_t start,
                                  int32_t timeout_ms);

/** Returns the number of whole groups buffered (averaged outputs when
 *  averaging), or -1 for a null handle. 0 when no channel is enabled or the
 *  averaging count is negative. */
KR2270_API int32_t KR2270_HcCodeCanReadGroupCount(KR2270Device *device);

/** Splits up to n buffered groups (n averaged outputs when averaging) into
 *  the per-channel queues, replacing their previous contents. Returns the
 *  number split, 0 when nothing was, or -1 (null handle, negative n, or a
 *  negative averaging count). An n of 0 keeps the previous contents. An
 *  averaging split is all or nothing; each output is the mean of the codes of
 *  its analog channel taken as signed 24-bit numbers, truncated toward zero,
 *  and is fetched under that channel's number. */
KR2270_API int32_t KR2270_HcCodeSplit(KR2270Device *device, int32_t n);

/** Copies the codes of analog channel 1..8 from the last split into codes
 *  (which must hold the count the last split returned). Returns the number
 *  copied, 0 for an empty queue (even with a NULL array), or -1. */
KR2270_API int32_t KR2270_HcCodeGetAd(KR2270Device *device, int32_t channel,
                                      int32_t *codes);

/** Copies the digital-input words of the last split. Returns the number
 *  copied, 0, or -1 (null handle or array). */
KR2270_API int32_t KR2270_HcCodeGetDi(KR2270Device *device, uint16_t *words);

/** Copies the values of counter 1..4 from the last split. */
KR2270_API int32_t KR2270_HcCodeGetCt(KR2270Device *device, int32_t counter,
                                      uint32_t *values);

/** Copies the values of encoder 1..2 from the last split. */
KR2270_API int32_t KR2270_HcCodeGetEc(KR2270Device *device, int32_t encoder,
                                      uint32_t *values);

/* ===========================================================================
 * Conversion
 * ======================================================================== */

/** Sign-extends count 24-bit codes: raw[i] is rewritten and signed_codes[i]
 *  receives the result (the two may be the same array). A count of 0 or less
 *  does nothing. */
KR2270_API void KR2270_AdOriginalCodeToCode(int32_t *raw, int32_t count,
                                            int32_t *signed_codes);

/** Converts count codes of channel 1..8 into values of its range, through the
 *  channel's calibration pair. codes is rewritten with the sign-extended
 *  codes. Returns 0, -1 (null handle) or -8 (bad channel, null array). */
KR2270_API int32_t KR2270_AdCodeToValue(KR2270Device *device, int32_t channel,
                                        int32_t *codes, int32_t count,
                                        double *values);

/** Converts count values of counter 1..4 by its mode: 0 the count, 1 events
 *  per second, 3 the reciprocal of count base periods (1/s); other modes
 *  write nothing. Returns 0, -1 (null handle) or -8 (bad counter, null
 *  array; a count of 0 returns 0 before these checks). */
KR2270_API int32_t KR2270_CtCodeToValue(KR2270Device *device, int32_t counter,
                                        const uint32_t *values, int32_t count,
                                        double *out);

/* ===========================================================================
 * Recording
 * ======================================================================== */

/** Starts recording the stream into directory dir (dir_length bytes, at most
 *  259, or 0 for a NUL-terminated text, UTF-8). Files are named from the local
 *  time, YY-MM-DD-hh-mm-ss_1.dat (with -2, -3 ... after the time when that
 *  name is taken), then _2.dat ... as each reaches 500 MiB. An existing file
 *  is never overwritten or truncated. Beside the first file the library keeps
 *  a sidecar, YY-MM-DD-hh-mm-ss_1.json (docs/recording-format.md): the start
 *  time, the rate, the groups of each file, every gap and every settings
 *  change with its position, and the fields of KR2270_DFWSetField. It is
 *  replaced whole (never seen half written) when the first groups arrive, at
 *  each new file, every 2 s or so while groups arrive, and at the close, so
 *  that after a crash it describes all but the last seconds. Each acquisition run is a recording of its own:
 *  when the groups of a later run arrive while the open recording already
 *  holds a run's groups, a new recording begins in the same directory (a new
 *  first file, named as above) whose header carries the new run's settings.
 *  A recording already open is closed first; when that close, or anything
 *  earlier, lost data that no call has reported yet, that failure (-201 or
 *  -202) is returned, it is thereby reported, and nothing new is opened.
 *  Returns 0, -1 (null handle or text), -201 (no such directory, path too
 *  long, the file cannot be created), or the earlier recording's failure. */
KR2270_API int32_t KR2270_DFWOpen(KR2270Device *device, const char *dir,
                                  int32_t dir_length);

/** Ends the recording. Returns 0, -1 (null handle), -202 when data did not
 *  reach a file (a short write, the final flush included), or -201 when the
 *  recording stopped because its next file (or a run's new recording) could
 *  not be created. The first such failure since the last report is returned
 *  once, by this call or by KR2270_DFWOpen, then forgotten. */
KR2270_API int32_t KR2270_DFWClose(KR2270Device *device);

/* ===========================================================================
 * Playback
 *
 * KR2270_DFROpen attaches a reader to a handle without a command connection
 * and loads the recording's settings into it; KR2270_DFRRead then puts
 * recorded groups into the stream ring, from where KR2270_HcCodeSplit and the
 * fetch and conversion functions serve them as live data. The reader's status
 * is sticky: once an operation failed, later reads return that code.
 * ======================================================================== */

/** Opens the recording whose first file is path (path_length bytes, or 0 for
 *  a NUL-terminated text) and the files _N+1, _N+2 ... that follow it. Only
 *  regular files are taken, opened without blocking: a FIFO, a directory or
 *  anything else named like the next file ends the chain, and as path is
 *  refused with -201. A reader already attached is released first; groups
 *  still buffered in the stream ring are dropped. Returns 0, -1 (null handle
 *  or path, command connection open, acquisition running), -201 (missing
 *  file) or -203 (bad header). */
KR2270_API int32_t KR2270_DFROpen(KR2270Device *device, const char *path,
                                  int32_t path_length);

/** Detaches the reader. The loaded settings stay. Returns 0 or -1. */
KR2270_API int32_t KR2270_DFRClose(KR2270Device *device);

/** Puts up to count whole groups from group index start (truncated; -1
 *  continues after the previous read) into the stream ring, as many as the
 *  ring can take. *groups_read (may be NULL) receives the number put.
 *  Returns the reader status (0, or the sticky error), or -1 (no reader, bad
 *  start, acquisition running). */
KR2270_API int32_t KR2270_DFRRead(KR2270Device *device, double start,
                                  int32_t count, int32_t *groups_read);

/** *groups (may be NULL) receives the number of whole groups recorded;
 *  *seconds (may be NULL; only written with groups) their duration. Returns
 *  the reader status or -1. */
KR2270_API int32_t KR2270_DFRGetGroupTotal(KR2270Device *device, double *groups,
                                           double *seconds);

/** *rate receives the recorded group rate per second. Returns 0, or -1 when
 *  the recorded rate code is not in the table (0.0 stored). */
KR2270_API int32_t KR2270_DFRGetFreq(KR2270Device *device, double *rate);

/* Recorded settings. Each returns -1 for a null handle or no reader. */
KR2270_API int32_t KR2270_DFRGetAdInFifo(KR2270Device *device, uint8_t *enable /*[8]*/);
KR2270_API int32_t KR2270_DFRGetCtInFifo(KR2270Device *device, uint8_t *enable /*[4]*/);
KR2270_API int32_t KR2270_DFRGetEcInFifo(KR2270Device *device, uint8_t *enable /*[2]*/);
KR2270_API int32_t KR2270_DFRGetDiInFifo(KR2270Device *device, uint8_t *enable /*[1]*/);
KR2270_API int32_t KR2270_DFRGetRange(KR2270Device *device, uint8_t *range /*[8]*/);
KR2270_API int32_t KR2270_DFRGetTri(KR2270Device *device, int32_t *enable, int32_t *mode);
KR2270_API int32_t KR2270_DFRGetTriCount(KR2270Device *device, int32_t *count);
KR2270_API int32_t KR2270_DFRCtGetFreqBase(KR2270Device *device, double *base_ms /*[4]*/);
KR2270_API int32_t KR2270_DFRCtGetModeAll(KR2270Device *device, int8_t *mode /*[4]*/);
KR2270_API int32_t KR2270_DFRAdReadZeroFull(KR2270Device *device, int32_t *zero /*[8]*/,
                                            int32_t *full /*[8]*/);
KR2270_API int32_t KR2270_DFRAdGetEndMode(KR2270Device *device, int32_t *mode /*[8]*/);
KR2270_API int32_t KR2270_DFRAdGetSleep(KR2270Device *device, int32_t *sleep /*[2]*/);

/* ===========================================================================
 * Extensions
 * ======================================================================== */

/** Extension. *lost receives the number of whole groups dropped since the
 *  last start because the stream ring was full. Returns 0 or -1 (null handle
 *  or pointer). May be called from any thread. */
KR2270_API int32_t KR2270_HcGetLostGroups(KR2270Device *device, uint64_t *lost);

/** Extension. Returns 1 when the data connection was lost (reset or closed by
 *  the module) since the last start, 0 when not, -1 for a null handle. */
KR2270_API int32_t KR2270_HcIsDataLost(KR2270Device *device);

/** Extension. *bytes (may be NULL) receives the bytes written to the current
 *  recording since KR2270_DFWOpen, headers included; *files (may be NULL) the
 *  number of files begun (across the recordings that later runs began).
 *  Returns 0 while recording works, -202 once a write failed or -201 once a
 *  next file could not be created (the recording then stopped) until
 *  KR2270_DFWOpen or KR2270_DFWClose reported it, -1 for a null handle. */
KR2270_API int32_t KR2270_DFWGetInfo(KR2270Device *device, int64_t *bytes,
                                     int32_t *files);

/** Extension. Returns a constant, readable text for a status code (never
 *  NULL; "unknown status" for codes the library does not return). */
KR2270_API const char *KR2270_StatusText(int32_t status);

/* ---- Streaming extensions for applications -------------------------------- */

/** Extension. Waits until at least min_groups whole groups (averaged outputs
 *  when averaging) are buffered and returns that count (> 0), at once when
 *  they already are. -2 when timeout_ms (milliseconds, 0 = no limit) passes
 *  first; -3 when the data connection is lost or the acquisition stops (or
 *  is not running) with fewer buffered; -1 for a null handle, min_groups < 1,
 *  a min_groups beyond what the stream ring can ever hold (32 MiB of groups,
 *  divided by the averaging count) or a negative timeout_ms. Does not poll: the receiver wakes the waiter
 *  when it publishes groups, and a stop or a lost connection wakes it too.
 *  Threads: call it from the thread that splits; another thread may stop the
 *  acquisition meanwhile. Not while the handle is being closed. */
KR2270_API int32_t KR2270_HcWaitGroups(KR2270Device *device, int32_t min_groups,
                                       int32_t timeout_ms);

/** Causes of a gap. */
enum KR2270GapCause {
  KR2270_GAP_RING_FULL = 1,      /* the application did not split in time */
  KR2270_GAP_LINK_LOST = 2,      /* the data connection was down (reconnect) */
  KR2270_GAP_MODULE_RESTART = 3  /* the module came back after a restart */
};

/** One gap of the stream, as KR2270_HcGetGaps gives it. */
typedef struct KR2270Gap {
  /* Index of the first group after the gap, counted in groups handed out by
   * KR2270_HcCodeSplit since the start (averaged outputs when averaging). */
  uint64_t group_index;
  /* Groups missing (whole groups; averaged outputs when averaging). */
  uint64_t missing_groups;
  int32_t cause;     /* a KR2270GapCause */
  int32_t estimated; /* 1: missing_groups estimated from time and rate */
} KR2270Gap;

/** Extension. Copies the gaps since the last start, oldest first, up to
 *  max_gaps of them (gaps may be NULL when max_gaps is 0), and returns how many
 *  gaps there are in all (which may exceed max_gaps and what is kept). This
 *  call gives the first 1000 gaps and the newest 1000; past 2000 gaps the
 *  copy jumps from the 1000th to the newest 1000: KR2270_HcGetGapsSince reads
 *  every gap, in timeline indices. Drops right after one another, with no
 *  group between them, make one gap. When averaging, positions and lengths
 *  are in averaged outputs, and a length that is no whole number of outputs
 *  is rounded and flagged as estimated. -1 for a null handle, max_gaps < 0,
 *  or NULL gaps with max_gaps > 0. Threads: any thread; a gap found while the
 *  copy is taken appears in the next call. */
KR2270_API int32_t KR2270_HcGetGaps(KR2270Device *device, KR2270Gap *gaps,
                                    int32_t max_gaps);

/** Extension. With enable = 1 (bit 0), when the data connection fails while
 *  streaming (reset or closed by the module, for example after a restart),
 *  the receiver thread reconnects with back-off (50 ms doubling to 1 s) for up
 *  to max_wait_ms milliseconds: it opens a new command connection when the old
 *  one no longer answers (never one the application closed: then the
 *  reconnect gives up), re-sends every setting as the handle holds it now
 *  (exactly as KR2270_CmdRestoreSettings does: the layout of the run, and a
 *  range or counter setting changed during the run as changed) before the
 *  module is allowed to stream again, reconnects the data connection, sets
 *  the start bit again and, when the first groups arrive, records the gap
 *  (KR2270_GAP_MODULE_RESTART when the module had lost its settings,
 *  otherwise KR2270_GAP_LINK_LOST; its length estimated from the host clock:
 *  see the timeline below). Meanwhile KR2270_HcWaitGroups keeps waiting and
 *  KR2270_HcIsDataLost returns 0. When max_wait_ms pass first, the acquisition
 *  ends as a lost connection does without the reconnect. When a command
 *  exchange finds the command connection gone (reset or closed by the
 *  module) while streaming, the receiver thread opens a new one, with the
 *  same back-off and limit, and the stream goes on; the exchange that found
 *  it still fails. A link that goes silent without being closed (a pulled
 *  cable, a module switched off) is found by TCP keepalive, which the library
 *  turns on for both connections: about 5 s after the last byte received
 *  (first probe after 2 s, three probes 1 s apart), whether or not this switch
 *  is on; a module that is alive but sends slowly is never taken for one.
 *  Each success counts in KR2270Health.reconnects. Off by
 *  default. Returns 0, or -1
 *  for a null handle or a negative max_wait_ms. Threads: any thread; takes
 *  effect at the next failure. A stop or KR2270_DeviceClose during the
 *  reconnect, the re-sending of the settings included, returns within about
 *  one exchange time-out (500 ms). */
KR2270_API int32_t KR2270_SetAutoReconnect(KR2270Device *device, int32_t enable,
                                           int32_t max_wait_ms);

/** A snapshot of a Device's counters. Set struct_size to sizeof(KR2270Health)
 *  before the call; the library fills at most that many bytes and leaves
 *  struct_size at the number it filled, so that the struct can grow without
 *  breaking callers either way. */
typedef struct KR2270Health {
  uint32_t struct_size;
  int32_t last_error;          /* status of the last failed command exchange or
                                  lost data connection, 0 when none */
  uint64_t groups_received;    /* whole groups put into the ring since start */
  uint64_t groups_dropped;     /* whole groups dropped because the ring was full */
  uint64_t gaps;               /* gaps since start */
  uint64_t reconnects;         /* successful automatic reconnects since start */
  uint64_t command_timeouts;   /* command exchanges that timed out */
  uint64_t stale_replies;      /* late replies discarded */
  uint64_t ring_fill_bytes;    /* bytes buffered in the ring now */
  uint64_t ring_high_water;    /* largest ring fill since start, bytes */
  int32_t command_connected;   /* 1 when the command connection is open */
  int32_t data_connected;      /* 1 when the data connection is open */
} KR2270Health;

/** Extension. Fills *health (see KR2270Health). Returns 0, or -1 for a null
 *  handle or pointer, or a struct_size below 8. Threads: any thread, at any
 *  rate; the counters are read without stopping the receiver, so two of them
 *  may be a block of groups apart. */
KR2270_API int32_t KR2270_GetHealth(KR2270Device *device, KR2270Health *health);

/** Extension. The library version, "MAJOR.MINOR.PATCH": a constant text,
 *  never NULL. Threads: any thread. */
KR2270_API const char *KR2270_GetVersion(void);

/* ---- The timeline ------------------------------------------------------------
 * Every group of an acquisition run has a timeline index: a 64-bit count of
 * group periods (1 / group rate, after the host's decimation at rate codes 16
 * and 48) since the run's first group, which has index 0. A group that never
 * reached the application leaves its index unused: a gap is a range of
 * indices with a position, a length and a cause, so that for every group,
 * before and after any gap,
 *
 *     time = start_unix_ns / 1e9 + index / group_rate   (seconds, UTC)
 *
 * Live groups, recorded groups and replayed groups carry the same indices:
 * after KR2270_HcCodeSplit, KR2270_HcCodeGetIndex gives the index of each
 * group split, whether the ring was filled by the receiver or by
 * KR2270_DFRRead. A recording keeps the indices of its groups, its gaps and
 * the settings its codes convert with in a sidecar file beside it (see
 * KR2270_DFWOpen and docs/recording-format.md).
 *
 * Lengths: a group dropped because the stream ring was full is counted
 * exactly; the groups a lost link or a module restart cost are estimated from
 * the host clock (the module's time of a group is tracked from the arrival of
 * the stream, whose earliest arrivals bound it; a new connection's first
 * group from when its start was sent and its first arrivals), to within about
 * a millisecond when the module's clock and the host's agree.
 *
 * Settings in force: a change of a setting that decides how a code converts
 * (range, extended range, calibration pair, counter mode, counter base
 * period) made while acquisition runs takes effect at the first group the
 * module sampled after it acknowledged the change (estimated from the host
 * clock as above), and never for a group the receiver had already handed on.
 * KR2270_HcAdCodeToValue and KR2270_HcCtCodeToValue convert each group of the
 * last split with the settings in force for it; a recording keeps each change
 * at its position, and a replay converts with it.
 *
 * Averaging (KR2270_AdFilterTimesPC, F > 0): output k averages the groups of
 * indices kF .. kF + F - 1 and exists only when all F of them arrived, with
 * the same settings. A window that a gap or a settings change interrupts is
 * dropped, not emitted short (its groups counted in
 * KR2270Timeline.averaging_dropped), so that no output mixes groups from both
 * sides. KR2270_HcCodeGetIndex gives kF for output k: its position in outputs
 * is exactly index / F.
 * ------------------------------------------------------------------------- */

/** One gap, numbered in the order the gaps were found. */
typedef struct KR2270GapRecord {
  uint64_t number;   /* 0 for the first gap of the run (or recording), then 1, 2 ... */
  uint64_t index;    /* timeline index of the first missing group */
  uint64_t missing;  /* groups missing: indices index .. index + missing - 1 */
  uint64_t position; /* groups before the gap in the data that lacks it: handed
                        on to the splitter (live) or recorded (a recording) */
  int32_t cause;     /* a KR2270GapCause */
  int32_t estimated; /* 1: length estimated from the host clock; 0: counted */
} KR2270GapRecord;

/** Extension. Copies the gaps of the current (or last) run numbered
 *  first_number and later, oldest first, at most max_gaps of them, and
 *  returns how many it copied (0..max_gaps). *total (may be NULL) receives
 *  the number of gaps found in the run. The library keeps the first 1000
 *  gaps and the newest 4096: when gaps[0].number is above first_number, the
 *  gaps between were dropped before this call read them. A caller that asks
 *  again from the number after the last it read, at least once per 4096
 *  gaps, reads every gap. -1 for a null handle, max_gaps < 0, or NULL gaps
 *  with max_gaps > 0. Threads: any thread. */
KR2270_API int32_t KR2270_HcGetGapsSince(KR2270Device *device, uint64_t first_number,
                                         KR2270GapRecord *gaps, int32_t max_gaps,
                                         uint64_t *total);

/** The settings a code converts with, and from where on. */
typedef struct KR2270ConversionSettings {
  uint64_t number;            /* 0 for the settings the run (recording)
                                 started with, then 1, 2 ... per change */
  uint64_t index;             /* first timeline index they convert */
  uint64_t position;          /* groups before that one: handed on to the
                                 splitter (live) or recorded (a recording) */
  int32_t zero_code[8];       /* calibration pair of channels 1..8 */
  int32_t full_code[8];
  double full_scale[8];       /* volts at the full-scale code */
  double offset[8];           /* volts at the zero code */
  uint8_t range_code[8];
  uint8_t extended_range[8];  /* 1 where the range code means the extended range */
  int8_t counter_mode[4];     /* counters 1..4, as KR2270_CtSetModeAll */
  int32_t reserved;           /* 0 */
  double counter_base_ms[4];  /* base periods, milliseconds */
} KR2270ConversionSettings;

/** Extension. Copies the settings in force during the current (or last) run,
 *  numbered first_number and later, oldest first, at most max_settings;
 *  returns how many it copied. Number 0 is what the run started with; each
 *  change made while it ran follows. *total (may be NULL) receives how many
 *  there are. The library keeps the first and the newest 1024 (a gap in the
 *  numbers shows what was dropped). -1 for a null handle, max_settings < 0,
 *  or NULL settings with max_settings > 0. Threads: any thread. */
KR2270_API int32_t KR2270_HcGetSettingsSince(KR2270Device *device, uint64_t first_number,
                                             KR2270ConversionSettings *settings,
                                             int32_t max_settings, uint64_t *total);

/** What the timeline of a run or a recording holds. Set struct_size to
 *  sizeof(KR2270Timeline) before the call (as for KR2270Health). */
typedef struct KR2270Timeline {
  uint32_t struct_size;
  int32_t source;             /* 1 live run; 2 recording with its sidecar;
                                 3 recording without one (indices are its
                                 positions); 4 recording whose sidecar could
                                 not be read (indices are its positions) */
  int64_t start_unix_ns;      /* time of index 0, ns since 1970-01-01 UTC;
                                 0 while unknown (before the first group) */
  double group_rate;          /* groups per second of the index; 0 when the
                                 rate code is outside the table */
  int32_t averaging;          /* the averaging count F, 0 for none */
  int32_t complete;           /* recording: 1 when it was closed orderly */
  uint64_t first_index;       /* index of the first group (a recording begun
                                 during a run starts later than 0) */
  uint64_t next_index;        /* index after the newest group received or
                                 recorded */
  uint64_t groups;            /* groups received (live) or recorded */
  uint64_t gaps;              /* gaps found */
  uint64_t missing_groups;    /* groups missing in them */
  uint64_t settings;          /* settings in force in all: 1 + changes */
  uint64_t averaging_dropped; /* groups of interrupted averaging windows the
                                 splitter dropped since the start (open) */
} KR2270Timeline;

/** Extension. Copies the settings KR2270_AdCodeToValue and
 *  KR2270_CtCodeToValue convert with now (what the module was last told:
 *  ranges, the adopted calibration pairs, counter modes and base periods;
 *  a recording's header after KR2270_DFROpen) into *settings; number, index
 *  and position are 0. Returns 0, or -1 for a null handle or pointer.
 *  Threads: any thread. */
KR2270_API int32_t KR2270_GetConversionSettings(KR2270Device *device,
                                                KR2270ConversionSettings *settings);

/** Extension. Fills *timeline for what the stream ring serves: the current
 *  (or last) acquisition run, or the recording attached with KR2270_DFROpen.
 *  Returns 0, or -1 for a null handle or pointer, or a struct_size below 8.
 *  Threads: any thread. */
KR2270_API int32_t KR2270_HcGetTimeline(KR2270Device *device, KR2270Timeline *timeline);

/** Extension. Copies the timeline index of each group of the last split
 *  (the first group of each window when averaging: output k gives kF) into
 *  indices, which must hold the count the last split returned. Returns the
 *  number copied, 0 when the last split took nothing, or -1 (null handle or
 *  array). Threads: the splitting thread. */
KR2270_API int32_t KR2270_HcCodeGetIndex(KR2270Device *device, uint64_t *indices);

/** Extension. As KR2270_AdCodeToValue, but element i converts with the
 *  settings in force for group i of the last split, which codes must be
 *  (as fetched with KR2270_HcCodeGetAd, count at most that split's count;
 *  elements beyond it convert with the settings of its last group). Use it
 *  for streamed and replayed codes: KR2270_AdCodeToValue converts with what
 *  the module was last told, which is right for a snapshot. Returns 0, -1
 *  (null handle) or -8 (bad channel, null array). Threads: the splitting
 *  thread. */
KR2270_API int32_t KR2270_HcAdCodeToValue(KR2270Device *device, int32_t channel,
                                          int32_t *codes, int32_t count, double *values);

/** Extension. As KR2270_CtCodeToValue, with the mode and base period in force
 *  for each group of the last split (as KR2270_HcAdCodeToValue). */
KR2270_API int32_t KR2270_HcCtCodeToValue(KR2270Device *device, int32_t counter,
                                          const uint32_t *values, int32_t count,
                                          double *out);

/** Extension. Adds (or replaces) the field name, whose value is the JSON
 *  text json_value, in the "application" object of the open recording's
 *  sidecar, which is rewritten at once when the recording holds groups and
 *  otherwise with its first ones. name: 1 to 64 characters of A-Z a-z 0-9 _ -
 *  . ; json_value: one valid JSON value (object, array, string, number, true,
 *  false or null; at most 1 MiB, nested at most 32 deep). The fields belong
 *  to this KR2270_DFWOpen: recordings that later runs begin in the same
 *  directory carry them too. Returns 0, -1 (null handle, bad name or value),
 *  -201 (no recording open), or -202 when the sidecar could not be written.
 *  Threads: any thread. */
KR2270_API int32_t KR2270_DFWSetField(KR2270Device *device, const char *name,
                                      const char *json_value);

/** Extension. Copies the path of the open recording's first file (which = 0),
 *  of the file being written (1) or of its sidecar (2), NUL-terminated, into
 *  path (size bytes), and returns the length without the NUL; -201 when no
 *  recording is open (or began), -1 for a null handle or path, a bad which,
 *  or a size too small for the path. After KR2270_DFWClose the paths of the
 *  last recording are still given. Threads: any thread. */
KR2270_API int32_t KR2270_DFWGetFileName(KR2270Device *device, int32_t which, char *path,
                                         int32_t size);

/** Extension. Fills *timeline for the attached recording (as
 *  KR2270_HcGetTimeline does while it is attached). -1 without a reader. */
KR2270_API int32_t KR2270_DFRGetTimeline(KR2270Device *device, KR2270Timeline *timeline);

/** Extension. The attached recording's gaps (positions in recorded groups,
 *  as KR2270_DFRRead counts them), as KR2270_HcGetGapsSince; every gap of the
 *  recording is kept. -1 without a reader. */
KR2270_API int32_t KR2270_DFRGetGaps(KR2270Device *device, uint64_t first_number,
                                     KR2270GapRecord *gaps, int32_t max_gaps, uint64_t *total);

/** Extension. The settings in force in the attached recording, as
 *  KR2270_HcGetSettingsSince: number 0 is its header's, then each change with
 *  its position. Without a sidecar only number 0. -1 without a reader. */
KR2270_API int32_t KR2270_DFRGetSettings(KR2270Device *device, uint64_t first_number,
                                         KR2270ConversionSettings *settings,
                                         int32_t max_settings, uint64_t *total);

/* ---- Triggered capture -------------------------------------------------------
 * The host watches the stream for an event and hands out the groups around
 * it whole: a capture of `pre` groups before the trigger group and `post`
 * groups from it on, with the trigger group's timeline index and time. It
 * is independent of the module's own trigger (KR2270_HcSetTri), which the
 * library only stores and forwards.
 *
 * The search runs inside KR2270_HcCodeSplit, on the codes the split has just
 * parsed, in the order the groups were split: every group split while the
 * trigger is armed is watched, live or replayed (KR2270_DFRRead). The
 * application splits as usual (and may use what it splits); after a split,
 * KR2270_HcTriggerTake moves the oldest completed capture into the channel
 * queues, where KR2270_HcCodeGetAd/Di/Ct/Ec, KR2270_HcCodeGetIndex,
 * KR2270_HcAdCodeToValue and KR2270_HcCtCodeToValue serve it as they serve a
 * split. The pre-trigger history is not copied: the stream ring keeps the
 * last `pre` groups split (and a capture in progress) until they are no
 * longer needed, which leaves the receiver that much less room; a capture is
 * parsed into storage of its own once its last group was split, so captures
 * waiting to be taken hold no room in the ring and survive a new start.
 *
 * The trigger group. Rising: the first group whose value is at or above
 * `level` after a group whose value was below level - hysteresis (for a
 * digital input: the first 1 after a 0). Falling: the first group at or
 * below level after one above level + hysteresis (the first 0 after a 1).
 * Values are volts as KR2270_HcAdCodeToValue converts the group's code with
 * the settings in force for it: the level is converted to a code for each
 * settings change (a range changed during the run included), so the test
 * on codes is exact. The group "on the other side" must be seen after the
 * arming or re-arming: a signal already past the level then does not
 * trigger until it has been back. A gap (missing indices between two groups)
 * puts the search back to needing the other side, so that a crossing is
 * never placed at the first group after a gap.
 *
 * Lengths, in groups split (timeline rows): a capture holds `pre` groups
 * before the trigger group and `post` groups from the trigger group on (the
 * trigger group is its row `pre`), pre + post in all. It is shorter at the
 * front only when fewer than `pre` groups were split since the arming or the
 * start of the stream (pre_short = 1; trigger_row then says where the
 * trigger group is). A gap inside a capture does not shorten it: its rows
 * stay pre + post groups split, their indices jump at the gap, and the
 * capture's info counts the gaps and the missing groups between its first
 * and its last row; time from the indices stays exact on either side.
 *
 * Repeat: after a capture's last group the trigger skips `holdoff` groups,
 * then searches again (the next capture's pre part may reach back into the
 * previous capture). Single: it stops after the first capture.
 * ------------------------------------------------------------------------- */

/** Sources and slopes of KR2270TriggerSetup. */
enum KR2270TriggerSource { KR2270_TRIGGER_ANALOG = 1, KR2270_TRIGGER_DIGITAL = 2 };
enum KR2270TriggerSlope { KR2270_TRIGGER_RISING = 1, KR2270_TRIGGER_FALLING = 2 };

/** The most groups one capture may hold (pre + post): 1.02 s at 256000
 *  groups per second; the stream ring keeps at most that many for a trigger. */
#define KR2270_TRIGGER_MAX_GROUPS 262144

/** What the trigger looks for and what it keeps. Set struct_size to
 *  sizeof(KR2270TriggerSetup). */
typedef struct KR2270TriggerSetup {
  uint32_t struct_size;
  int32_t source;      /* a KR2270TriggerSource */
  int32_t channel;     /* analog channel 1..8 or digital input 1..16 (bit
                          channel - 1 of the digital word); it must be in the
                          stream */
  int32_t slope;       /* a KR2270TriggerSlope */
  double level;        /* volts (analog; ignored for a digital input) */
  double hysteresis;   /* volts, >= 0 (analog; ignored for a digital input) */
  int64_t pre;         /* groups before the trigger group, >= 0 */
  int64_t post;        /* groups from the trigger group on, >= 1;
                          pre + post <= KR2270_TRIGGER_MAX_GROUPS */
  int32_t repeat;      /* 0: one capture; 1: re-arm after each */
  int32_t max_ready;   /* completed captures kept until taken, 1..64 (0
                          means 4); when one more completes the oldest is
                          dropped and counted */
  int64_t holdoff;     /* repeat: groups skipped after a capture's last
                          group before the search resumes, >= 0 */
} KR2270TriggerSetup;

/** A capture, as KR2270_HcTriggerTake hands it out. Set struct_size to
 *  sizeof(KR2270CaptureInfo) (as for KR2270Health). */
typedef struct KR2270CaptureInfo {
  uint32_t struct_size;
  int32_t pre_short;        /* 1 when fewer than pre groups preceded the
                               trigger group since the arming or the start
                               of the stream */
  uint64_t number;          /* 0 for the first capture since the arming */
  uint64_t groups;          /* rows in the capture */
  uint64_t trigger_row;     /* row of the trigger group (pre unless short) */
  uint64_t trigger_index;   /* timeline index of the trigger group */
  uint64_t first_index;     /* timeline index of row 0 */
  int64_t trigger_unix_ns;  /* start_unix_ns + trigger_index / group_rate, ns
                               since 1970-01-01 UTC; 0 when the rate is unknown */
  uint64_t gaps;            /* index jumps between rows of the capture */
  uint64_t missing_groups;  /* indices missing in them */
} KR2270CaptureInfo;

/** States of KR2270TriggerStatus.state. */
enum KR2270TriggerState {
  KR2270_TRIGGER_OFF = 0,        /* not armed */
  KR2270_TRIGGER_SEARCHING = 1,  /* waiting for the other side of the level */
  KR2270_TRIGGER_READY = 2,      /* waiting for the crossing */
  KR2270_TRIGGER_CAPTURING = 3,  /* triggered: the post part is coming */
  KR2270_TRIGGER_HOLDOFF = 4,    /* repeat: skipping holdoff groups */
  KR2270_TRIGGER_DONE = 5,       /* single: the capture is complete */
  KR2270_TRIGGER_NO_CHANNEL = 6  /* the stream split lacks the channel */
};

typedef struct KR2270TriggerStatus {
  uint32_t struct_size;   /* sizeof(KR2270TriggerStatus), as for KR2270Health */
  int32_t state;          /* a KR2270TriggerState */
  uint64_t triggers;      /* trigger groups found since the arming */
  uint64_t ready;         /* completed captures waiting to be taken */
  uint64_t dropped;       /* completed captures dropped untaken (max_ready) */
  uint64_t kept_groups;   /* groups the stream ring keeps for the trigger now */
} KR2270TriggerStatus;

/** Extension. Arms the host-side trigger with *setup (copied), replacing any
 *  earlier arming: its captures not yet taken are dropped and numbering
 *  starts at 0. The search begins with the next split. Returns 0, or -1 for
 *  a null handle or setup, a struct_size below sizeof(KR2270TriggerSetup), a
 *  bad source, channel, slope, level or hysteresis (not finite, or
 *  negative), pre < 0, post < 1, pre + post above KR2270_TRIGGER_MAX_GROUPS,
 *  repeat not 0 or 1, max_ready outside 0..64, holdoff < 0, averaging on
 *  (KR2270_AdFilterTimesPC; averaged splits are not watched), or a channel
 *  not in the stream (the layout of the run or the attached recording, else
 *  the layout the next start will use). A start with another layout later
 *  leaves the trigger in KR2270_TRIGGER_NO_CHANNEL. Threads: the splitting
 *  thread. */
KR2270_API int32_t KR2270_HcTriggerArm(KR2270Device *device, const KR2270TriggerSetup *setup);

/** Extension. Stops the search and gives the ring back the groups it kept;
 *  completed captures stay until taken. Returns 0, or -1 for a null handle.
 *  Threads: the splitting thread. */
KR2270_API int32_t KR2270_HcTriggerDisarm(KR2270Device *device);

/** Extension. Moves the oldest completed capture into the channel queues,
 *  replacing what the last split left there (as a split does), and fills
 *  *info (may be NULL). Returns the capture's rows (> 0), 0 when no capture
 *  is waiting (the queues are then untouched), or -1 for a null handle or an
 *  info struct_size below 8. Threads: the splitting thread. */
KR2270_API int32_t KR2270_HcTriggerTake(KR2270Device *device, KR2270CaptureInfo *info);

/** Extension. Fills *status. Returns 0, or -1 for a null handle or pointer,
 *  or a struct_size below 8. Threads: the splitting thread. */
KR2270_API int32_t KR2270_HcTriggerGetStatus(KR2270Device *device, KR2270TriggerStatus *status);

#ifdef __cplusplus
}
#endif

#endif /* KR2270C_H */
