/**
 * @file kr2270c.h
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
 *    away as they arrive, and one more than 500 ms late counts as dropped
 *    (measured from its last byte: a reply still arriving is still owed).
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
 * Units: times and time-outs in milliseconds unless a name says otherwise
 * (_ms, _hz, _ns, seconds), frequencies in hertz, analog values in volts of
 * the channel's range, clock counts of the module's 50 MHz clock.
 *
 * Threading: command functions may be called from several threads on one
 * handle; each request/reply exchange is atomic. The split, fetch, conversion
 * and playback functions of one handle must be called from one thread at a
 * time. KR2270_DeviceCreate and KR2270_DeviceClose must not run concurrently
 * with other calls on the same handle. Each handle owns one receiver thread.
 * Each function's comment names its own rule.
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
  KR2270_OK = 0,                  /**< success */
  KR2270_ERROR_ARGUMENT = -1,     /**< null handle, bad argument, refused state,
                                     or a Modbus exception other than 4 */
  KR2270_ERROR_TIMEOUT = -2,      /**< no reply within the time-out */
  KR2270_ERROR_RESET = -3,        /**< connection reset by the module */
  KR2270_ERROR_SOCKET = -4,       /**< other socket failure, or not connected */
  KR2270_ERROR_WRITE_ECHO = -5,   /**< a write was answered with a bad echo */
  KR2270_ERROR_READ_REPLY = -6,   /**< a read was answered with a bad reply */
  KR2270_ERROR_EXCEPTION4 = -7,   /**< Modbus exception 4 (server device failure) */
  KR2270_ERROR_RANGE = -8,        /**< counter or channel out of range, or missing array */
  KR2270_ERROR_NETSTART = -100,   /**< the socket library did not start */
  KR2270_ERROR_CONNECT = -101,    /**< connection not established, or bad address */
  KR2270_ERROR_FILE = -201,       /**< file or directory missing, path too long,
                                     or no next file name */
  KR2270_ERROR_FILE_WRITE = -202, /**< short write to a recording */
  KR2270_ERROR_FILE_READ = -203,  /**< bad recording header, start beyond the end,
                                     or short read */
  KR2270_ERROR_FILE_SEEK = -204,  /**< positioning in a recording file failed */
  KR2270_ERROR_FILE_CLOSE = -205  /**< closing a recording file failed */
};

/* ===========================================================================
 * Device lifecycle
 * ======================================================================== */

/** Creates a handle with every setting at its default (all eight analog
 *  channels streamed with 4-byte codes, ranges of 10 V, calibration pair
 *  4194303/8388607, counter base periods of 1000 ms, everything else 0), a
 *  32 MiB stream ring and an idle receiver thread.
 *  @return the handle, or NULL only when the record cannot be allocated.
 *  @par Threads
 *  Any thread; a handle is used by other threads only after this returns. */
KR2270_API KR2270Device *KR2270_DeviceCreate(void);

/** Stops the receiver thread (returns within about one second in every case)
 *  and releases the handle together with everything it still holds: command
 *  and data connections, an open recording and an attached reader. Sends
 *  nothing to the module. The handle is invalid after.
 *  @param device handle from KR2270_DeviceCreate; NULL does nothing.
 *  @par Threads
 *  Not while any other call on the same handle runs or can start. */
KR2270_API void KR2270_DeviceClose(KR2270Device *device);

/* ===========================================================================
 * Command connection
 * ======================================================================== */

/** Opens the command connection. A second connect closes the earlier
 *  connection first.
 *  @handle
 *  @param ip dotted-decimal IPv4 address text (no name lookup).
 *  @param ip_length characters to take from ip (at most 19), or 0 for the text
 *         up to its terminator (at most 19 characters).
 *  @param port command port (low 16 bits used).
 *  @param data_port data port, stored for KR2270_HcStart.
 *  @param timeout_ms bounds the connection attempt in milliseconds (0 = one
 *         immediate check).
 *  @return 0, -1 (null handle), -100 (the socket library did not start), or
 *          -101 (bad address, over-long text, refused or not established within
 *          the time-out).
 *  @par Threads
 *  Not while another thread calls a command on the same handle. */
KR2270_API int32_t KR2270_CmdConnect(KR2270Device *device, const char *ip,
                                     uint32_t ip_length, int32_t port,
                                     int32_t data_port, int32_t timeout_ms);

/** Closes the command connection. The handle stays usable: it may connect
 *  again or replay recordings. Returns at once even while another thread waits
 *  for a reply (with or without a time-out): that call is woken and fails with
 *  -3 or -4.
 *  @param device handle from KR2270_DeviceCreate; NULL does nothing.
 *  @any_thread */
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
 *  @handle
 *  @timeout (for each write)
 *  @return 0 when every write was accepted; otherwise it stops at the first
 *          failure and returns its status (-2..-6). -1 with nothing sent for a
 *          null handle, while acquisition runs, or when a base period held (for
 *          example one loaded from a recording) has no 32-bit clock divisor.
 *  @command_threads */
KR2270_API int32_t KR2270_CmdRestoreSettings(KR2270Device *device,
                                             int32_t timeout_ms);

/* ===========================================================================
 * Analog inputs: setup and snapshot
 *
 * Setters return 0, -1 (null handle or array, channel outside 1..8), or the
 * failure code of the exchange (-2..-6).
 * ======================================================================== */

/** Sets the input range of one channel.
 *  @handle
 *  @param channel analog channel 1..8.
 *  @param range_code low 8 bits: 1 = 5 V, 2 = 2 V, 3 = 1 V, any other = 10 V
 *         full scale (the range the conversion uses for this channel).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdSetRange(KR2270Device *device, int32_t channel,
                                     int32_t range_code, int32_t timeout_ms);

/** As KR2270_AdSetRange; with a non-zero ex flag, range codes 1, 2, 3 mean
 *  1 V, 0.1 V and 0.01 V full scale. Note the order: ex before range_code.
 *  @handle
 *  @param channel analog channel 1..8.
 *  @param ex 0 for the plain ranges, non-zero for the extended ones.
 *  @param range_code low 8 bits, as for KR2270_AdSetRange.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdSetRangeEx(KR2270Device *device, int32_t channel,
                                       int32_t ex, int32_t range_code,
                                       int32_t timeout_ms);

/** Chooses the analog channels of the stream and the bytes per code. The
 *  choice is recorded before sending and kept when the write fails.
 *  @handle
 *  @param enable 8 bytes, bit 0 of each: channel 1..8 in the stream.
 *  @param code_bytes bytes per analog code in the stream: 2 or 4 (anything else
 *         is recorded as 4).
 *  @timeout
 *  @setter_status Refused (-1, nothing sent or recorded) while acquisition
 *          runs: a run keeps the layout it started with.
 *  @command_threads */
KR2270_API int32_t KR2270_AdInFifo(KR2270Device *device, const uint8_t *enable,
                                   int32_t code_bytes, int32_t timeout_ms);

/** Sets the input end mode of each channel. Recorded before sending and kept
 *  when the write fails.
 *  @handle
 *  @param mode 8 bytes, bit 0 of each: the end mode of channel 1..8.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdSetEndMode(KR2270Device *device, const uint8_t *mode,
                                       int32_t timeout_ms);

/** Sets the two analog sleep flags.
 *  @handle
 *  @param flag 2 bytes, bit 0 of each.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdSetSleep(KR2270Device *device, const int8_t *flag,
                                     int32_t timeout_ms);

/** Sets the input source of each channel.
 *  @handle
 *  @param source 8 bytes, the source 0..3 of channel 1..8.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdSetSource(KR2270Device *device, const uint8_t *source,
                                      int32_t timeout_ms);

/** Sends the full-voltage selector.
 *  @handle
 *  @param value the selector (low 8 bits sent).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdFullVotage(KR2270Device *device, int32_t value,
                                       int32_t timeout_ms);

/** Reads the current raw code of all eight channels (24-bit codes in 32-bit
 *  words; see KR2270_AdOriginalCodeToCode and KR2270_AdCodeToValue).
 *  @handle
 *  @param codes receives 8 codes, channel 1 first.
 *  @timeout
 *  @read_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdReadAllOnce(KR2270Device *device, int32_t *codes,
                                        int32_t timeout_ms);

/* ===========================================================================
 * Digital inputs and outputs
 * ======================================================================== */

/** Reads the 16 digital inputs.
 *  @handle
 *  @param inputs receives 16 bytes, 0 or 1 each, input 1 first.
 *  @timeout
 *  @read_status
 *  @command_threads */
KR2270_API int32_t KR2270_DiReadAllOnce(KR2270Device *device, uint8_t *inputs,
                                        int32_t timeout_ms);

/** Sets all 12 digital outputs at once.
 *  @handle
 *  @param outputs 12 bytes, bit 0 of each: output 1..12 on.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_DoWriteAllOnce(KR2270Device *device,
                                         const uint8_t *outputs, int32_t timeout_ms);

/** Sets the mode bit of each digital output.
 *  @handle
 *  @param mode 12 bytes, bit 0 of each.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_DoSetMode(KR2270Device *device, const uint8_t *mode,
                                    int32_t timeout_ms);

/** Sets the level selector of each digital output.
 *  @handle
 *  @param level 12 bytes, the selector 0..3 of output 1..12 (bits 0-1 used).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_DoSetVotage(KR2270Device *device, const uint8_t *level,
                                      int32_t timeout_ms);

/** Puts the 16-bit digital-input word into the stream, or takes it out.
 *  Recorded only when the module accepted it.
 *  @handle
 *  @param flag bit 0: 1 = the word is in the stream.
 *  @timeout
 *  @setter_status Refused (-1, nothing sent) while acquisition runs.
 *  @command_threads */
KR2270_API int32_t KR2270_DiInFifo(KR2270Device *device, int32_t flag,
                                   int32_t timeout_ms);

/* ===========================================================================
 * Counters and encoders
 * ======================================================================== */

/** Sets the base period of one counter, as a divisor of the module's 50 MHz
 *  clock.
 *  @handle
 *  @param counter counter 1..4.
 *  @param base_ms base period in milliseconds.
 *  @param achieved_ms receives the period actually set, in milliseconds (may be
 *         NULL).
 *  @timeout
 *  @return 0, -1 (null handle, or a period that is not finite or whose divisor
 *          leaves the 64-bit range), -8 (counter outside 1..4), or the write's
 *          failure (-2..-7).
 *  @command_threads */
KR2270_API int32_t KR2270_CtSetFreqBase(KR2270Device *device, int32_t counter,
                                        double base_ms, double *achieved_ms,
                                        int32_t timeout_ms);

/** Sets the modes of all four counters.
 *  @handle
 *  @param mode 4 bytes: 0 count, 1 count per base period, 2 clear (held at 0),
 *         3 period measurement (bits 0-1 sent).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_CtSetModeAll(KR2270Device *device, const int8_t *mode,
                                       int32_t timeout_ms);

/** Clears the selected counters: 1 ms base and mode 2 for 2 ms, then the
 *  modes and base periods the handle holds again (what this handle last set,
 *  the defaults on a fresh handle).
 *  @handle
 *  @param clear 4 bytes, non-zero: clear counter 1..4.
 *  @timeout (for each of its writes)
 *  @return 0 (the individual writes are not reported), -1 (null handle) or -8
 *          (null array).
 *  @par Threads
 *  Any thread; its writes are separate exchanges, so another thread's command
 *  may fall between them. */
KR2270_API int32_t KR2270_CtClear(KR2270Device *device, const uint8_t *clear,
                                  int32_t timeout_ms);

/** Chooses the counters of the stream. Recorded before sending and kept when
 *  the write fails.
 *  @handle
 *  @param enable 4 bytes, rewritten to bit 0 of each: counter 1..4 in the stream.
 *  @timeout
 *  @setter_status Refused (-1, nothing sent, nothing rewritten) while
 *          acquisition runs.
 *  @command_threads */
KR2270_API int32_t KR2270_CtInFifo(KR2270Device *device, uint8_t *enable,
                                   int32_t timeout_ms);

/** Chooses the encoders of the stream. Recorded before sending and kept when
 *  the write fails.
 *  @handle
 *  @param enable 2 bytes, rewritten to bit 0 of each: encoder 1..2 in the stream.
 *  @timeout
 *  @setter_status Refused (-1, nothing sent, nothing rewritten) while
 *          acquisition runs.
 *  @command_threads */
KR2270_API int32_t KR2270_EcInFifo(KR2270Device *device, uint8_t *enable,
                                   int32_t timeout_ms);

/** Clears the selected encoders (their count starts again at 0).
 *  @handle
 *  @param clear 2 bytes, bit 0 of each: clear encoder 1..2.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_EcClear(KR2270Device *device, const uint8_t *clear,
                                  int32_t timeout_ms);

/** Reads the four counter values (in each counter's mode; see
 *  KR2270_CtCodeToValue).
 *  @handle
 *  @param values receives 4 values, counter 1 first.
 *  @timeout
 *  @read_status
 *  @command_threads */
KR2270_API int32_t KR2270_CtReadAllOnce(KR2270Device *device, uint32_t *values,
                                        int32_t timeout_ms);

/** Reads the two encoder values (two's-complement counts).
 *  @handle
 *  @param values receives 2 values, encoder 1 first.
 *  @timeout
 *  @read_status
 *  @command_threads */
KR2270_API int32_t KR2270_EcReadAllOnce(KR2270Device *device, uint32_t *values,
                                        int32_t timeout_ms);

/* ===========================================================================
 * Pulse outputs and watchdog
 * ======================================================================== */

/** Sets frequency and duty cycle of one pulse output, in counts of the
 *  module's 50 MHz clock: the period is 50 MHz / frequency_hz clock periods,
 *  truncated; the module holds 1 to 4294967295 of them (frequencies of about
 *  0.0116415 Hz to 25 MHz for a period with a high and a low count).
 *  @handle
 *  @param output pulse output 1..4.
 *  @param frequency_hz frequency in Hz.
 *  @param duty high time as a fraction of the period, 0.0..1.0.
 *  @param achieved_hz receives the frequency set, in Hz (may be NULL).
 *  @param achieved_duty receives the duty cycle set (may be NULL).
 *  @timeout
 *  @return 0, -1 (null handle, output outside 1..4, a frequency that is zero,
 *          not finite or too small for a 64-bit count, a duty cycle that is not
 *          finite or gives a high time beyond a 64-bit count), or the write's
 *          failure (-2..-7).
 *  @command_threads */
KR2270_API int32_t KR2270_PwmSetPulse(KR2270Device *device, int32_t output,
                                      double frequency_hz, double duty,
                                      double *achieved_hz, double *achieved_duty,
                                      int32_t timeout_ms);

/** Sets the number of pulses an output gives when started.
 *  @handle
 *  @param output pulse output 1..4.
 *  @param count pulses, 0 = until stopped (sent as 32 bits).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_PwmSetCount(KR2270Device *device, int32_t output,
                                      int32_t count, int32_t timeout_ms);

/** Sets the phase bit of each pulse output.
 *  @handle
 *  @param phase 4 bytes, bit 0 of each: output 1..4.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_PwmSetPhase(KR2270Device *device, const uint8_t *phase,
                                      int32_t timeout_ms);

/** Starts or stops all four pulse outputs at once: a set bit (re)starts the
 *  output, a clear bit stops it.
 *  @handle
 *  @param start 4 bytes, bit 0 of each: 1 = output 1..4 runs.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_PwmStartAll(KR2270Device *device, const uint8_t *start,
                                      int32_t timeout_ms);

/** Reads which pulse outputs have finished (given their count, or were
 *  stopped).
 *  @handle
 *  @param over receives 4 bytes: 1 for each output that has finished, 0 for
 *         each one that runs.
 *  @timeout
 *  @read_status
 *  @command_threads */
KR2270_API int32_t KR2270_PwmIsOver(KR2270Device *device, uint8_t *over,
                                    int32_t timeout_ms);

/** Switches the watchdog on or off. While it is on, the module switches its
 *  digital outputs off when no command arrives for one period.
 *  @handle
 *  @param enable low 8 bits non-zero: on; zero: off (the period is then not
 *         used).
 *  @param period watchdog period in milliseconds, 1..65535 (low 16 bits sent;
 *         0 switches it off as well).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_SetWtdStatus(KR2270Device *device, int32_t enable,
                                       int32_t period, int32_t timeout_ms);

/* ===========================================================================
 * Analog calibration
 * ======================================================================== */

/** Reads the zero and full-scale codes of all eight channels. Each pair whose
 *  full code exceeds its zero code by more than 10000 is adopted for
 *  KR2270_AdCodeToValue; the others are reported only.
 *  @handle
 *  @param zero receives 8 zero codes, channel 1 first.
 *  @param full receives 8 full-scale codes, channel 1 first.
 *  @timeout
 *  @read_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdReadZeroFull(KR2270Device *device, int32_t *zero,
                                         int32_t *full, int32_t timeout_ms);

/** Writes the zero code of one channel to the module (not adopted on the host
 *  until KR2270_AdReadZeroFull).
 *  @handle
 *  @param channel analog channel 1..8.
 *  @param code the zero code (signed 24-bit range).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdWriteZero(KR2270Device *device, int32_t channel,
                                      int32_t code, int32_t timeout_ms);

/** Writes the full-scale code of one channel to the module (not adopted on
 *  the host until KR2270_AdReadZeroFull).
 *  @handle
 *  @param channel analog channel 1..8.
 *  @param code the full-scale code (signed 24-bit range).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdWriteFull(KR2270Device *device, int32_t channel,
                                      int32_t code, int32_t timeout_ms);

/** Reads the module's 32-bit reference value.
 *  @handle
 *  @param value receives the value.
 *  @timeout
 *  @read_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdReadRef(KR2270Device *device, int32_t *value,
                                    int32_t timeout_ms);

/** Writes the module's 32-bit reference value.
 *  @handle
 *  @param value the value.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_AdWriteRef(KR2270Device *device, int32_t value,
                                     int32_t timeout_ms);

/* ===========================================================================
 * Acquisition setup
 * ======================================================================== */

/** Sets the rate code of the stream: 8 = 256000, 16 = 16000, 24 = 128000,
 *  36 = 32000, 40 = 64000, 48 = 1000, 52 = 4000, 56 = 8000 groups per second
 *  (16 and 48 are decimated on the host).
 *  @handle
 *  @param rate_code one of the codes above.
 *  @timeout
 *  @setter_status Other codes return -1 with nothing sent, and so does any
 *          code while acquisition runs.
 *  @command_threads */
KR2270_API int32_t KR2270_HcSetFreq(KR2270Device *device, int32_t rate_code,
                                    int32_t timeout_ms);

/** Sets the trigger.
 *  @handle
 *  @param enable bit 0: trigger on.
 *  @param mode trigger mode 0..3.
 *  @timeout
 *  @setter_status Refused (-1) while acquisition runs.
 *  @command_threads */
KR2270_API int32_t KR2270_HcSetTri(KR2270Device *device, int32_t enable,
                                   int32_t mode, int32_t timeout_ms);

/** Sets the transfer size: the bytes the receiver asks the data connection
 *  for at a time. About 10 ms of stream is a good choice; see the README.
 *  @handle
 *  @param bytes transfer size in bytes (low 16 bits are sent to the module).
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_HcSetTranBytesCount(KR2270Device *device,
                                              int32_t bytes, int32_t timeout_ms);

/** Sets the trigger count.
 *  @handle
 *  @param count the count.
 *  @timeout
 *  @setter_status
 *  @command_threads */
KR2270_API int32_t KR2270_HcSetTriCount(KR2270Device *device, int32_t count,
                                        int32_t timeout_ms);

/** The size of one stream group under the current enables. No module
 *  traffic.
 *  @handle
 *  @return bytes per group (0..58), or -1 for a null handle.
 *  @any_thread */
KR2270_API int32_t KR2270_HcGetGroupBc(KR2270Device *device);

/** Sets the averaging count of the host's split (averaging needs only analog
 *  channels in the stream).
 *  @handle
 *  @param times groups per averaged output; 0 = no averaging.
 *  @param rate_out receives the resulting output rate in values per second (may
 *         be NULL).
 *  @return 0, or -1 (null handle, or while acquisition runs).
 *  @split_threads */
KR2270_API int32_t KR2270_AdFilterTimesPC(KR2270Device *device, int32_t times,
                                          double *rate_out);

/* ===========================================================================
 * Acquisition
 * ======================================================================== */

/** Starts (bit 0 of start set) or stops acquisition.
 *
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
 *  can still be split.
 *
 *  What a start sends: at rate codes 16 and 48 the transfer size rounded to
 *  whole windows of 2 or 4 groups, then the stream enable (register 23 = 1)
 *  and the trigger byte with the start bit. Nothing else: it relies on the
 *  module still holding every other setting as the handle last sent it (the
 *  stream enables and code width, the rate, ranges, counter setup, trigger
 *  count); the host splits and converts by those. After a module restart,
 *  or when another client may have changed it, call
 *  KR2270_CmdRestoreSettings before the start.
 *  @handle
 *  @param start bit 0: 1 = start, 0 = stop.
 *  @timeout
 *  @return 0 or the status of the failing step (-1, -2..-7, -101).
 *  @par Threads
 *  Any thread; a stop may come from another thread while one splits or waits
 *  in KR2270_HcWaitGroups. */
KR2270_API int32_t KR2270_HcStart(KR2270Device *device, int32_t start,
                                  int32_t timeout_ms);

/** How many whole groups are buffered (averaged outputs when averaging).
 *  @handle
 *  @return the count, 0 when no channel is enabled or the averaging count is
 *          negative, or -1 for a null handle.
 *  @split_threads */
KR2270_API int32_t KR2270_HcCodeCanReadGroupCount(KR2270Device *device);

/** Splits up to n buffered groups (n averaged outputs when averaging) into
 *  the per-channel queues, replacing their previous contents. An n of 0 keeps
 *  the previous contents. An averaging split is all or nothing; each output is
 *  the mean of the codes of its analog channel taken as signed 24-bit numbers,
 *  truncated toward zero, and is fetched under that channel's number.
 *  @handle
 *  @param n groups (or outputs) to split at most.
 *  @return the number split, 0 when nothing was, or -1 (null handle, negative
 *          n, or a negative averaging count).
 *  @split_threads */
KR2270_API int32_t KR2270_HcCodeSplit(KR2270Device *device, int32_t n);

/** Copies the codes of one analog channel from the last split.
 *  @handle
 *  @param channel analog channel 1..8.
 *  @param codes receives as many codes as the last split returned.
 *  @return the number copied, 0 for an empty queue (even with a NULL array),
 *          or -1 (null handle or array, channel outside 1..8).
 *  @split_threads */
KR2270_API int32_t KR2270_HcCodeGetAd(KR2270Device *device, int32_t channel,
                                      int32_t *codes);

/** Copies the digital-input words of the last split (input 1 in bit 0).
 *  @handle
 *  @param words receives as many words as the last split returned.
 *  @return the number copied, 0, or -1 (null handle or array).
 *  @split_threads */
KR2270_API int32_t KR2270_HcCodeGetDi(KR2270Device *device, uint16_t *words);

/** Copies the values of one counter from the last split.
 *  @handle
 *  @param counter counter 1..4.
 *  @param values receives as many values as the last split returned.
 *  @return the number copied, 0, or -1 (null handle or array, counter outside
 *          1..4).
 *  @split_threads */
KR2270_API int32_t KR2270_HcCodeGetCt(KR2270Device *device, int32_t counter,
                                      uint32_t *values);

/** Copies the values of one encoder from the last split.
 *  @handle
 *  @param encoder encoder 1..2.
 *  @param values receives as many values as the last split returned.
 *  @return the number copied, 0, or -1 (null handle or array, encoder outside
 *          1..2).
 *  @split_threads */
KR2270_API int32_t KR2270_HcCodeGetEc(KR2270Device *device, int32_t encoder,
                                      uint32_t *values);

/* ===========================================================================
 * Conversion
 * ======================================================================== */

/** Sign-extends 24-bit codes. Needs no handle.
 *  @param raw count codes; rewritten with the sign-extended codes.
 *  @param count codes to convert; 0 or less does nothing.
 *  @param signed_codes receives the sign-extended codes (may be raw itself).
 *  @par Threads
 *  Any thread. */
KR2270_API void KR2270_AdOriginalCodeToCode(int32_t *raw, int32_t count,
                                            int32_t *signed_codes);

/** Converts codes of one channel into values of its range (volts), through
 *  the channel's calibration pair: (code - zero) / (full - zero) x full scale.
 *  @handle
 *  @param channel analog channel 1..8.
 *  @param codes count codes; rewritten with the sign-extended codes.
 *  @param count codes to convert.
 *  @param values receives count values in volts.
 *  @return 0, -1 (null handle) or -8 (bad channel, null array).
 *  @split_threads */
KR2270_API int32_t KR2270_AdCodeToValue(KR2270Device *device, int32_t channel,
                                        int32_t *codes, int32_t count,
                                        double *values);

/** Converts values of one counter by its mode: 0 the count, 1 events per
 *  second (count per base period), 3 the reciprocal of count base periods
 *  (1/s); other modes write nothing.
 *  @handle
 *  @param counter counter 1..4.
 *  @param values count values as read or fetched.
 *  @param count values to convert.
 *  @param out receives count converted values.
 *  @return 0, -1 (null handle) or -8 (bad counter, null array; a count of 0
 *          returns 0 before these checks).
 *  @split_threads */
KR2270_API int32_t KR2270_CtCodeToValue(KR2270Device *device, int32_t counter,
                                        const uint32_t *values, int32_t count,
                                        double *out);

/* ===========================================================================
 * Recording
 * ======================================================================== */

/** Starts recording the stream into a directory. Files are named from the
 *  local time, YY-MM-DD-hh-mm-ss_1.dat (with -2, -3 ... after the time when
 *  that name is taken), then _2.dat ... as each reaches 500 MiB. An existing
 *  file is never overwritten or truncated. Beside the first file the library
 *  keeps a sidecar, YY-MM-DD-hh-mm-ss_1.json (docs/recording-format.md): the
 *  start time, the rate, the groups of each file, every gap and every settings
 *  change with its position, and the fields of KR2270_DFWSetField. It is
 *  replaced whole (never seen half written) when the first groups arrive, at
 *  each new file, every 2 s or so while groups arrive, and at the close, so
 *  that after a crash it describes all but the last seconds. Each acquisition
 *  run is a recording of its own: when the groups of a later run arrive while
 *  the open recording already holds a run's groups, a new recording begins in
 *  the same directory (a new first file, named as above) whose header carries
 *  the new run's settings. A recording already open is closed first; when that
 *  close, or anything earlier, lost data that no call has reported yet, that
 *  failure (-201 or -202) is returned, it is thereby reported, and nothing new
 *  is opened.
 *  @handle
 *  @param dir the directory, UTF-8.
 *  @param dir_length bytes of dir (at most 259), or 0 for a NUL-terminated text.
 *  @return 0, -1 (null handle or text), -201 (no such directory, path too long,
 *          the file cannot be created), or the earlier recording's failure.
 *  @par Threads
 *  Any thread; the receiver thread writes the recording. */
KR2270_API int32_t KR2270_DFWOpen(KR2270Device *device, const char *dir,
                                  int32_t dir_length);

/** Ends the recording. The first failure since the last report is returned
 *  once, by this call or by KR2270_DFWOpen, then forgotten.
 *  @handle
 *  @return 0, -1 (null handle), -202 when data did not reach a file (a short
 *          write, the final flush included), or -201 when the recording stopped
 *          because its next file (or a run's new recording) could not be created.
 *  @par Threads
 *  Any thread. */
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

/** Opens a recording for playback: the first file and the files _N+1, _N+2 ...
 *  that follow it, and loads the recording's settings into the handle. Only
 *  regular files are taken, opened without blocking: a FIFO, a directory or
 *  anything else named like the next file ends the chain, and as path is
 *  refused with -201. A reader already attached is released first; groups
 *  still buffered in the stream ring are dropped.
 *  @handle
 *  @param path the recording's first file.
 *  @param path_length bytes of path, or 0 for a NUL-terminated text.
 *  @return 0, -1 (null handle or path, command connection open, acquisition
 *          running), -201 (missing file) or -203 (bad header).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFROpen(KR2270Device *device, const char *path,
                                  int32_t path_length);

/** Detaches the reader. The loaded settings stay.
 *  @handle
 *  @return 0, or -1 (null handle).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRClose(KR2270Device *device);

/** Puts recorded groups into the stream ring, as many as it can take, from
 *  where KR2270_HcCodeSplit serves them as live data.
 *  @handle
 *  @param start group index to start at (truncated), or -1 to continue after
 *         the previous read.
 *  @param count whole groups to put at most.
 *  @param groups_read receives the number put (may be NULL).
 *  @return the reader status (0, or the sticky error -203/-204), or -1 (no
 *          reader, bad start, acquisition running).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRRead(KR2270Device *device, double start,
                                  int32_t count, int32_t *groups_read);

/** The length of the recording.
 *  @handle
 *  @param groups receives the number of whole groups recorded (may be NULL).
 *  @param seconds receives their duration in seconds (may be NULL; only
 *         written with groups).
 *  @return the reader status, or -1 (null handle, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetGroupTotal(KR2270Device *device, double *groups,
                                           double *seconds);

/** The recorded group rate.
 *  @handle
 *  @param rate receives the groups per second (0.0 for a rate code not in the
 *         table).
 *  @return 0, or -1 (null handle, no reader, or a rate code not in the table).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetFreq(KR2270Device *device, double *rate);

/** The recorded analog stream enables.
 *  @handle
 *  @param enable receives 8 bytes, 1 = channel 1..8 in the stream.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetAdInFifo(KR2270Device *device, uint8_t *enable /*[8]*/);
/** The recorded counter stream enables.
 *  @handle
 *  @param enable receives 4 bytes, 1 = counter 1..4 in the stream.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetCtInFifo(KR2270Device *device, uint8_t *enable /*[4]*/);
/** The recorded encoder stream enables.
 *  @handle
 *  @param enable receives 2 bytes, 1 = encoder 1..2 in the stream.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetEcInFifo(KR2270Device *device, uint8_t *enable /*[2]*/);
/** Whether the digital-input word was recorded.
 *  @handle
 *  @param enable receives 1 byte, 1 = the word is in the stream.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetDiInFifo(KR2270Device *device, uint8_t *enable /*[1]*/);
/** The recorded range codes.
 *  @handle
 *  @param range receives 8 range codes, channel 1 first (see KR2270_AdSetRange).
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetRange(KR2270Device *device, uint8_t *range /*[8]*/);
/** The recorded trigger.
 *  @handle
 *  @param enable receives the trigger enable.
 *  @param mode receives the trigger mode.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetTri(KR2270Device *device, int32_t *enable, int32_t *mode);
/** The recorded trigger count.
 *  @handle
 *  @param count receives the count.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetTriCount(KR2270Device *device, int32_t *count);
/** The recorded counter base periods.
 *  @handle
 *  @param base_ms receives 4 base periods in milliseconds, counter 1 first.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRCtGetFreqBase(KR2270Device *device, double *base_ms /*[4]*/);
/** The recorded counter modes.
 *  @handle
 *  @param mode receives 4 modes, counter 1 first (see KR2270_CtSetModeAll).
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRCtGetModeAll(KR2270Device *device, int8_t *mode /*[4]*/);
/** The recorded calibration pairs (the ones the conversion uses on playback).
 *  @handle
 *  @param zero receives 8 zero codes, channel 1 first.
 *  @param full receives 8 full-scale codes, channel 1 first.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRAdReadZeroFull(KR2270Device *device, int32_t *zero /*[8]*/,
                                            int32_t *full /*[8]*/);
/** The recorded end modes.
 *  @handle
 *  @param mode receives 8 end modes, channel 1 first.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRAdGetEndMode(KR2270Device *device, int32_t *mode /*[8]*/);
/** The recorded sleep flags.
 *  @handle
 *  @param sleep receives the 2 flags.
 *  @return 0, or -1 (null handle or array, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRAdGetSleep(KR2270Device *device, int32_t *sleep /*[2]*/);

/* ===========================================================================
 * Extensions
 * ======================================================================== */

/** Extension. The number of whole groups dropped since the last start
 *  because the stream ring was full.
 *  @handle
 *  @param lost receives the count.
 *  @return 0, or -1 (null handle or pointer).
 *  @any_thread */
KR2270_API int32_t KR2270_HcGetLostGroups(KR2270Device *device, uint64_t *lost);

/** Extension. Whether the data connection was lost (reset or closed by the
 *  module) since the last start.
 *  @handle
 *  @return 1 when it was, 0 when not, -1 for a null handle.
 *  @any_thread */
KR2270_API int32_t KR2270_HcIsDataLost(KR2270Device *device);

/** Extension. How the recording goes.
 *  @handle
 *  @param bytes receives the bytes written to the current recording since
 *         KR2270_DFWOpen, headers included (may be NULL).
 *  @param files receives the number of files begun, across the recordings that
 *         later runs began (may be NULL).
 *  @return 0 while recording works, -202 once a write failed or -201 once a
 *          next file could not be created (the recording then stopped) until
 *          KR2270_DFWOpen or KR2270_DFWClose reported it, -1 for a null handle.
 *  @any_thread */
KR2270_API int32_t KR2270_DFWGetInfo(KR2270Device *device, int64_t *bytes,
                                     int32_t *files);

/** Extension. A readable text for a status code.
 *  @param status a status returned by the library.
 *  @return a constant text, never NULL; "unknown status" for codes the library
 *          does not return.
 *  @par Threads
 *  Any thread. */
KR2270_API const char *KR2270_StatusText(int32_t status);

/* ---- Streaming extensions for applications -------------------------------- */

/** Extension. Waits until at least min_groups whole groups (averaged outputs
 *  when averaging) are buffered, at once when they already are. Does not
 *  poll: the receiver wakes the waiter when it publishes groups, and a stop or
 *  a lost connection wakes it too.
 *  @handle
 *  @param min_groups groups to wait for: 1 up to what the stream ring can hold
 *         (32 MiB of groups, divided by the averaging count).
 *  @param timeout_ms longest wait in milliseconds (0 = no limit).
 *  @return the buffered count (> 0); -2 when timeout_ms passes first; -3 when
 *          the data connection is lost or the acquisition stops (or is not
 *          running) with fewer buffered; -1 for a null handle, a min_groups
 *          outside the range above, or a negative timeout_ms.
 *  @par Threads
 *  The thread that splits; another thread may stop the acquisition meanwhile.
 *  Not while the handle is being closed. */
KR2270_API int32_t KR2270_HcWaitGroups(KR2270Device *device, int32_t min_groups,
                                       int32_t timeout_ms);

/** Causes of a gap. */
enum KR2270GapCause {
  KR2270_GAP_RING_FULL = 1,      /**< the application did not split in time */
  KR2270_GAP_LINK_LOST = 2,      /**< the data connection was down (reconnect) */
  KR2270_GAP_MODULE_RESTART = 3  /**< the module came back after a restart */
};

/** One gap of the stream, as KR2270_HcGetGaps gives it. */
typedef struct KR2270Gap {
  /** Index of the first group after the gap, counted in groups handed out by
   *  KR2270_HcCodeSplit since the start (averaged outputs when averaging). */
  uint64_t group_index;
  /** Groups missing (whole groups; averaged outputs when averaging). */
  uint64_t missing_groups;
  int32_t cause;     /**< a KR2270GapCause */
  int32_t estimated; /**< 1: missing_groups estimated from time and rate */
} KR2270Gap;

/** Extension. Copies the gaps since the last start, oldest first. This call
 *  gives the first 1000 gaps and the newest 1000; past 2000 gaps the copy
 *  jumps from the 1000th to the newest 1000: KR2270_HcGetGapsSince reads every
 *  gap, in timeline indices. Drops right after one another, with no group
 *  between them, make one gap. When averaging, positions and lengths are in
 *  averaged outputs, and a length that is no whole number of outputs is
 *  rounded and flagged as estimated.
 *  @handle
 *  @param gaps receives up to max_gaps gaps (may be NULL when max_gaps is 0).
 *  @param max_gaps room in gaps, 0 or more.
 *  @return how many gaps there are in all (which may exceed max_gaps and what
 *          is kept); -1 for a null handle, max_gaps < 0, or NULL gaps with
 *          max_gaps > 0.
 *  @par Threads
 *  Any thread; a gap found while the copy is taken appears in the next call. */
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
 *  Each success counts in KR2270Health.reconnects. Off by default.
 *  @handle
 *  @param enable bit 0: 1 = reconnect, 0 = do not.
 *  @param max_wait_ms longest outage to ride out, in milliseconds.
 *  @return 0, or -1 for a null handle or a negative max_wait_ms.
 *  @par Threads
 *  Any thread; takes effect at the next failure. A stop or KR2270_DeviceClose
 *  during the reconnect, the re-sending of the settings included, returns
 *  within about one exchange time-out (500 ms). */
KR2270_API int32_t KR2270_SetAutoReconnect(KR2270Device *device, int32_t enable,
                                           int32_t max_wait_ms);

/** A snapshot of a Device's counters. Set struct_size to sizeof(KR2270Health)
 *  before the call; the library fills at most that many bytes and leaves
 *  struct_size at the number it filled, so that the struct can grow without
 *  breaking callers either way. */
typedef struct KR2270Health {
  uint32_t struct_size;        /**< bytes of the record the caller has; set by the caller */
  int32_t last_error;          /**< status of the last failed command exchange or
                                  lost data connection, 0 when none */
  uint64_t groups_received;    /**< whole groups put into the ring since start */
  uint64_t groups_dropped;     /**< whole groups dropped because the ring was full */
  uint64_t gaps;               /**< gaps since start */
  uint64_t reconnects;         /**< successful automatic reconnects since start */
  uint64_t command_timeouts;   /**< command exchanges that timed out */
  uint64_t stale_replies;      /**< late replies discarded */
  uint64_t ring_fill_bytes;    /**< bytes buffered in the ring now */
  uint64_t ring_high_water;    /**< largest ring fill since start, bytes */
  int32_t command_connected;   /**< 1 when the command connection is open */
  int32_t data_connected;      /**< 1 when the data connection is open */
} KR2270Health;

/** Extension. A snapshot of the handle's counters (see KR2270Health).
 *  @handle
 *  @param health the caller's record; set its struct_size to
 *         sizeof(KR2270Health) first.
 *  @return 0, or -1 for a null handle or pointer, or a struct_size below 8.
 *  @par Threads
 *  Any thread, at any rate; the counters are read without stopping the
 *  receiver, so two of them may be a block of groups apart. */
KR2270_API int32_t KR2270_GetHealth(KR2270Device *device, KR2270Health *health);

/** Extension. The library version.
 *  @return "MAJOR.MINOR.PATCH", a constant text, never NULL.
 *  @par Threads
 *  Any thread. */
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
  uint64_t number;   /**< 0 for the first gap of the run (or recording), then 1, 2 ... */
  uint64_t index;    /**< timeline index of the first missing group */
  uint64_t missing;  /**< groups missing: indices index .. index + missing - 1 */
  uint64_t position; /**< groups before the gap in the data that lacks it: handed
                        on to the splitter (live) or recorded (a recording) */
  int32_t cause;     /**< a KR2270GapCause */
  int32_t estimated; /**< 1: length estimated from the host clock; 0: counted */
} KR2270GapRecord;

/** Extension. Copies the gaps of the current (or last) run numbered
 *  first_number and later, oldest first. The library keeps the first 1000
 *  gaps and the newest 4096: when gaps[0].number is above first_number, the
 *  gaps between were dropped before this call read them. A caller that asks
 *  again from the number after the last it read, at least once per 4096 gaps,
 *  reads every gap.
 *  @handle
 *  @param first_number number of the first gap wanted (0 for the run's first).
 *  @param gaps receives up to max_gaps gaps (may be NULL when max_gaps is 0).
 *  @param max_gaps room in gaps, 0 or more.
 *  @param total receives the number of gaps found in the run (may be NULL).
 *  @return how many it copied (0..max_gaps); -1 for a null handle,
 *          max_gaps < 0, or NULL gaps with max_gaps > 0.
 *  @any_thread */
KR2270_API int32_t KR2270_HcGetGapsSince(KR2270Device *device, uint64_t first_number,
                                         KR2270GapRecord *gaps, int32_t max_gaps,
                                         uint64_t *total);

/** The settings a code converts with, and from where on. */
typedef struct KR2270ConversionSettings {
  uint64_t number;            /**< 0 for the settings the run (recording)
                                 started with, then 1, 2 ... per change */
  uint64_t index;             /**< first timeline index they convert */
  uint64_t position;          /**< groups before that one: handed on to the
                                 splitter (live) or recorded (a recording) */
  int32_t zero_code[8];       /**< zero code of the calibration pair of channels 1..8 */
  int32_t full_code[8];       /**< full-scale code of the calibration pair */
  double full_scale[8];       /**< volts at the full-scale code */
  double offset[8];           /**< volts at the zero code */
  uint8_t range_code[8];      /**< range codes of channels 1..8 (KR2270_AdSetRange) */
  uint8_t extended_range[8];  /**< 1 where the range code means the extended range */
  int8_t counter_mode[4];     /**< counters 1..4, as KR2270_CtSetModeAll */
  int32_t reserved;           /**< 0 */
  double counter_base_ms[4];  /**< base periods, milliseconds */
} KR2270ConversionSettings;

/** Extension. Copies the settings in force during the current (or last) run,
 *  numbered first_number and later, oldest first. Number 0 is what the run
 *  started with; each change made while it ran follows. The library keeps the
 *  first and the newest 1024 (a gap in the numbers shows what was dropped).
 *  @handle
 *  @param first_number number of the first settings wanted.
 *  @param settings receives up to max_settings records (may be NULL when
 *         max_settings is 0).
 *  @param max_settings room in settings, 0 or more.
 *  @param total receives how many there are (may be NULL).
 *  @return how many it copied; -1 for a null handle, max_settings < 0, or NULL
 *          settings with max_settings > 0.
 *  @any_thread */
KR2270_API int32_t KR2270_HcGetSettingsSince(KR2270Device *device, uint64_t first_number,
                                             KR2270ConversionSettings *settings,
                                             int32_t max_settings, uint64_t *total);

/** What the timeline of a run or a recording holds. Set struct_size to
 *  sizeof(KR2270Timeline) before the call (as for KR2270Health). */
typedef struct KR2270Timeline {
  uint32_t struct_size;       /**< bytes of the record the caller has; set by the caller */
  int32_t source;             /**< 1 live run; 2 recording with its sidecar;
                                 3 recording without one (indices are its
                                 positions); 4 recording whose sidecar could
                                 not be read (indices are its positions) */
  int64_t start_unix_ns;      /**< time of index 0, ns since 1970-01-01 UTC;
                                 0 while unknown (before the first group) */
  double group_rate;          /**< groups per second of the index; 0 when the
                                 rate code is outside the table */
  int32_t averaging;          /**< the averaging count F, 0 for none */
  int32_t complete;           /**< recording: 1 when it was closed orderly */
  uint64_t first_index;       /**< index of the first group (a recording begun
                                 during a run starts later than 0) */
  uint64_t next_index;        /**< index after the newest group received or
                                 recorded */
  uint64_t groups;            /**< groups received (live) or recorded */
  uint64_t gaps;              /**< gaps found */
  uint64_t missing_groups;    /**< groups missing in them */
  uint64_t settings;          /**< settings in force in all: 1 + changes */
  uint64_t averaging_dropped; /**< groups of interrupted averaging windows the
                                 splitter dropped since the start (open) */
} KR2270Timeline;

/** Extension. The settings KR2270_AdCodeToValue and KR2270_CtCodeToValue
 *  convert with now: what the module was last told (ranges, the adopted
 *  calibration pairs, counter modes and base periods), or a recording's
 *  header after KR2270_DFROpen. Number, index and position are 0.
 *  @handle
 *  @param settings receives the settings.
 *  @return 0, or -1 for a null handle or pointer.
 *  @any_thread */
KR2270_API int32_t KR2270_GetConversionSettings(KR2270Device *device,
                                                KR2270ConversionSettings *settings);

/** Extension. What the timeline of the stream ring's source holds: the
 *  current (or last) acquisition run, or the recording attached with
 *  KR2270_DFROpen.
 *  @handle
 *  @param timeline the caller's record; set its struct_size to
 *         sizeof(KR2270Timeline) first.
 *  @return 0, or -1 for a null handle or pointer, or a struct_size below 8.
 *  @par Threads
 *  Any thread during a run; while a reader is attached, the thread that
 *  replays (as for the other playback functions). */
KR2270_API int32_t KR2270_HcGetTimeline(KR2270Device *device, KR2270Timeline *timeline);

/** Extension. Copies the timeline index of each group of the last split (the
 *  first group of each window when averaging: output k gives kF).
 *  @handle
 *  @param indices receives as many indices as the last split returned.
 *  @return the number copied, 0 when the last split took nothing, or -1 (null
 *          handle or array).
 *  @split_threads */
KR2270_API int32_t KR2270_HcCodeGetIndex(KR2270Device *device, uint64_t *indices);

/** Extension. As KR2270_AdCodeToValue, but element i converts with the
 *  settings in force for group i of the last split. Use it for streamed and
 *  replayed codes: KR2270_AdCodeToValue converts with what the module was last
 *  told, which is right for a snapshot.
 *  @handle
 *  @param channel analog channel 1..8.
 *  @param codes the codes of the last split as fetched with
 *         KR2270_HcCodeGetAd; rewritten with the sign-extended codes.
 *  @param count codes to convert, at most that split's count (elements beyond
 *         it convert with the settings of its last group).
 *  @param values receives count values in volts.
 *  @return 0, -1 (null handle) or -8 (bad channel, null array).
 *  @split_threads */
KR2270_API int32_t KR2270_HcAdCodeToValue(KR2270Device *device, int32_t channel,
                                          int32_t *codes, int32_t count, double *values);

/** Extension. As KR2270_CtCodeToValue, with the mode and base period in force
 *  for each group of the last split (as KR2270_HcAdCodeToValue).
 *  @handle
 *  @param counter counter 1..4.
 *  @param values the values of the last split as fetched with
 *         KR2270_HcCodeGetCt.
 *  @param count values to convert.
 *  @param out receives count converted values (counts, or 1/s by the mode).
 *  @return 0, -1 (null handle) or -8 (bad counter, null array).
 *  @split_threads */
KR2270_API int32_t KR2270_HcCtCodeToValue(KR2270Device *device, int32_t counter,
                                          const uint32_t *values, int32_t count,
                                          double *out);

/** Extension. Adds (or replaces) a field in the "application" object of the
 *  open recording's sidecar, which is rewritten at once when the recording
 *  holds groups and otherwise with its first ones. The fields belong to this
 *  KR2270_DFWOpen: recordings that later runs begin in the same directory
 *  carry them too.
 *  @handle
 *  @param name 1 to 64 characters of A-Z a-z 0-9 _ - .
 *  @param json_value one valid JSON value (object, array, string, number,
 *         true, false or null; at most 1 MiB, nested at most 32 deep).
 *  @return 0, -1 (null handle, bad name or value), -201 (no recording open),
 *          or -202 when the sidecar could not be written. The data file is
 *          flushed first; when that flush fails, the recording stops there,
 *          as at any failed write, and KR2270_DFWClose reports -202.
 *  @any_thread */
KR2270_API int32_t KR2270_DFWSetField(KR2270Device *device, const char *name,
                                      const char *json_value);

/** Extension. The path of a file of the open recording. After
 *  KR2270_DFWClose the paths of the last recording are still given.
 *  @handle
 *  @param which 0 the recording's first file, 1 the file being written, 2 its
 *         sidecar.
 *  @param path receives the path, NUL-terminated.
 *  @param size bytes in path.
 *  @return the length of the path without the NUL; -201 when no recording is
 *          open (or began); -1 for a null handle or path, a bad which, or a
 *          size too small for the path.
 *  @any_thread */
KR2270_API int32_t KR2270_DFWGetFileName(KR2270Device *device, int32_t which, char *path,
                                         int32_t size);

/** Extension. Fills *timeline for the attached recording (as
 *  KR2270_HcGetTimeline does while it is attached).
 *  @handle
 *  @param timeline the caller's record; set its struct_size to
 *         sizeof(KR2270Timeline) first.
 *  @return 0, or -1 (null handle or pointer, a struct_size below 8, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetTimeline(KR2270Device *device, KR2270Timeline *timeline);

/** Extension. The attached recording's gaps, as KR2270_HcGetGapsSince
 *  (positions in recorded groups, as KR2270_DFRRead counts them); every gap of
 *  the recording is kept.
 *  @handle
 *  @param first_number number of the first gap wanted.
 *  @param gaps receives up to max_gaps gaps (may be NULL when max_gaps is 0).
 *  @param max_gaps room in gaps, 0 or more.
 *  @param total receives the number of gaps in the recording (may be NULL).
 *  @return how many it copied, or -1 (null handle, bad arguments as for
 *          KR2270_HcGetGapsSince, no reader).
 *  @playback_threads */
KR2270_API int32_t KR2270_DFRGetGaps(KR2270Device *device, uint64_t first_number,
                                     KR2270GapRecord *gaps, int32_t max_gaps, uint64_t *total);

/** Extension. The settings in force in the attached recording, as
 *  KR2270_HcGetSettingsSince: number 0 is its header's, then each change with
 *  its position; without a sidecar only number 0.
 *  @handle
 *  @param first_number number of the first settings wanted.
 *  @param settings receives up to max_settings records (may be NULL when
 *         max_settings is 0).
 *  @param max_settings room in settings, 0 or more.
 *  @param total receives how many there are (may be NULL).
 *  @return how many it copied, or -1 (null handle, bad arguments as for
 *          KR2270_HcGetSettingsSince, no reader).
 *  @playback_threads */
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

/** What the trigger watches (KR2270TriggerSetup.source). */
enum KR2270TriggerSource {
  KR2270_TRIGGER_ANALOG = 1, /**< an analog channel, in volts */
  KR2270_TRIGGER_DIGITAL = 2 /**< one bit of the digital word */
};

/** Direction of the crossing (KR2270TriggerSetup.slope). */
enum KR2270TriggerSlope {
  KR2270_TRIGGER_RISING = 1, /**< upwards through the level (0 to 1) */
  KR2270_TRIGGER_FALLING = 2 /**< downwards through the level (1 to 0) */
};

/** The most groups one capture may hold (pre + post): 1.02 s at 256000
 *  groups per second; the stream ring keeps at most that many for a trigger. */
#define KR2270_TRIGGER_MAX_GROUPS 262144

/** What the trigger looks for and what it keeps. Set struct_size to
 *  sizeof(KR2270TriggerSetup). */
typedef struct KR2270TriggerSetup {
  uint32_t struct_size; /**< sizeof(KR2270TriggerSetup); set by the caller */
  int32_t source;       /**< a KR2270TriggerSource */
  int32_t channel;      /**< analog channel 1..8 or digital input 1..16 (bit
                             channel - 1 of the digital word); it must be in
                             the stream */
  int32_t slope;        /**< a KR2270TriggerSlope */
  double level;         /**< volts (analog; ignored for a digital input) */
  double hysteresis;    /**< volts, >= 0 (analog; ignored for a digital input) */
  int64_t pre;          /**< groups before the trigger group, >= 0 */
  int64_t post;         /**< groups from the trigger group on, >= 1;
                             pre + post <= KR2270_TRIGGER_MAX_GROUPS */
  int32_t repeat;       /**< 0: one capture; 1: re-arm after each */
  int32_t max_ready;    /**< completed captures kept until taken, 1..64 (0
                             means 4); when one more completes the oldest is
                             dropped and counted */
  int64_t holdoff;      /**< repeat: groups skipped after a capture's last
                             group before the search resumes, >= 0 */
} KR2270TriggerSetup;

/** A capture, as KR2270_HcTriggerTake hands it out. Set struct_size to
 *  sizeof(KR2270CaptureInfo) (as for KR2270Health). */
typedef struct KR2270CaptureInfo {
  uint32_t struct_size;     /**< sizeof(KR2270CaptureInfo); set by the caller */
  int32_t pre_short;        /**< 1 when fewer than pre groups preceded the
                                 trigger group since the arming or the start
                                 of the stream */
  uint64_t number;          /**< 0 for the first capture since the arming */
  uint64_t groups;          /**< rows in the capture */
  uint64_t trigger_row;     /**< row of the trigger group (pre unless short) */
  uint64_t trigger_index;   /**< timeline index of the trigger group */
  uint64_t first_index;     /**< timeline index of row 0 */
  int64_t trigger_unix_ns;  /**< start_unix_ns + trigger_index / group_rate, ns
                                 since 1970-01-01 UTC; 0 when the rate is
                                 unknown */
  uint64_t gaps;            /**< index jumps between rows of the capture */
  uint64_t missing_groups;  /**< indices missing in them */
} KR2270CaptureInfo;

/** States of KR2270TriggerStatus.state. */
enum KR2270TriggerState {
  KR2270_TRIGGER_OFF = 0,        /**< not armed */
  KR2270_TRIGGER_SEARCHING = 1,  /**< waiting for the other side of the level */
  KR2270_TRIGGER_READY = 2,      /**< waiting for the crossing */
  KR2270_TRIGGER_CAPTURING = 3,  /**< triggered: the post part is coming */
  KR2270_TRIGGER_HOLDOFF = 4,    /**< repeat: skipping holdoff groups */
  KR2270_TRIGGER_DONE = 5,       /**< single: the capture is complete */
  KR2270_TRIGGER_NO_CHANNEL = 6  /**< the stream split lacks the channel */
};

/** Where the trigger stands, as KR2270_HcTriggerGetStatus gives it. Set
 *  struct_size to sizeof(KR2270TriggerStatus) (as for KR2270Health). */
typedef struct KR2270TriggerStatus {
  uint32_t struct_size;   /**< sizeof(KR2270TriggerStatus); set by the caller */
  int32_t state;          /**< a KR2270TriggerState */
  uint64_t triggers;      /**< trigger groups found since the arming */
  uint64_t ready;         /**< completed captures waiting to be taken */
  uint64_t dropped;       /**< completed captures dropped untaken (max_ready) */
  uint64_t kept_groups;   /**< groups the stream ring keeps for the trigger now */
} KR2270TriggerStatus;

/** Extension. Arms the host-side trigger with *setup (copied), replacing any
 *  earlier arming: its captures not yet taken are dropped and numbering
 *  starts at 0. The search begins with the next split. A start with another
 *  layout later leaves the trigger in KR2270_TRIGGER_NO_CHANNEL.
 *  @handle
 *  @param setup the condition and the lengths; set its struct_size to
 *         sizeof(KR2270TriggerSetup) first.
 *  @return 0, or -1 for a null handle or setup, a struct_size below
 *          sizeof(KR2270TriggerSetup), a bad source, channel, slope, level or
 *          hysteresis (not finite, or negative), pre < 0, post < 1, pre + post
 *          above KR2270_TRIGGER_MAX_GROUPS, repeat not 0 or 1, max_ready
 *          outside 0..64, holdoff < 0, averaging on (KR2270_AdFilterTimesPC;
 *          averaged splits are not watched), or a channel not in the stream
 *          (the layout of the run or the attached recording, else the layout
 *          the next start will use).
 *  @split_threads */
KR2270_API int32_t KR2270_HcTriggerArm(KR2270Device *device, const KR2270TriggerSetup *setup);

/** Extension. Stops the search and gives the ring back the groups it kept;
 *  completed captures stay until taken.
 *  @handle
 *  @return 0, or -1 for a null handle.
 *  @split_threads */
KR2270_API int32_t KR2270_HcTriggerDisarm(KR2270Device *device);

/** Extension. Moves the oldest completed capture into the channel queues,
 *  replacing what the last split left there (as a split does).
 *  @handle
 *  @param info receives the capture's trigger, time and gaps (may be NULL);
 *         set its struct_size to sizeof(KR2270CaptureInfo) first.
 *  @return the capture's rows (> 0), 0 when no capture is waiting (the queues
 *          are then untouched), or -1 for a null handle or an info
 *          struct_size below 8.
 *  @split_threads */
KR2270_API int32_t KR2270_HcTriggerTake(KR2270Device *device, KR2270CaptureInfo *info);

/** Extension. Where the trigger stands: its state and counters.
 *  @handle
 *  @param status the caller's record; set its struct_size to
 *         sizeof(KR2270TriggerStatus) first.
 *  @return 0, or -1 for a null handle or pointer, or a struct_size below 8.
 *  @split_threads */
KR2270_API int32_t KR2270_HcTriggerGetStatus(KR2270Device *device, KR2270TriggerStatus *status);

#ifdef __cplusplus
}
#endif

#endif /* KR2270C_H */
