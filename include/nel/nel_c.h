/* The library's C interface: one acquisition unit per nel_device handle.
 *
 * A handle runs the library's processing on an acquisition thread of its own:
 * a C host never pumps a message queue. It reads frames from the handle's
 * frame queue (polling nel_read_frames, waiting in nel_wait_frames, or waiting
 * for nel_frames_descriptor to become readable) and starts, watches and
 * cancels the measurement modes through the calls below.
 *
 * Results: every call returns a nel_result; NEL_OK is 0. A call that fails
 * leaves its reason for the calling thread (nel_last_error_code,
 * nel_last_error_text), in the manner of errno. No call waits without bound:
 * a call the acquisition thread has not begun within its limit (10 s; 120 s
 * for nel_open) returns NEL_E_TIMEOUT and never runs later; one it has begun
 * is given up to 60 s more. A call that times out writes nothing to the
 * caller's buffers.
 *
 * Threads: every call may come from any thread. The calls on one handle are
 * carried out one at a time, in order, on its acquisition thread; only
 * nel_close may not overlap another call on the same handle.
 *
 * Cuff safety: nel_close stops every pump and opens every valve before the
 * port closes; handles a host leaves open are closed the same way when the
 * process exits normally or the library is unloaded. The library's safety
 * monitor watches every pass (see nel_get_safety_report).
 *
 * Records: fixed layouts (natural alignment except nel_wave_sample, which is
 * packed like the library's record files); sizes are checked below. */
#ifndef NEL_NEL_C_H
#define NEL_NEL_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(NEL_BUILDING_C_LIBRARY)
#define NEL_C_API __attribute__((dllexport))
#else
#define NEL_C_API __attribute__((dllimport))
#endif
#else
#define NEL_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* C names (lower case, typedef'd records), not the C++ rules of the rest of include/nel. */
/* NOLINTBEGIN(readability-identifier-naming,modernize-use-using) */

/* Version of this interface: raised when a record or a call changes. */
#define NEL_C_ABI_VERSION 1

typedef enum nel_result {
  NEL_OK = 0,
  NEL_E_INVALID_ARGUMENT = 1, /* a null pointer or a value out of its range */
  NEL_E_NOT_OPEN = 2,         /* no port is open */
  NEL_E_NO_UNIT = 3,          /* no unit answers on the port(s) tried */
  NEL_E_PORT_BUSY = 4,        /* the port is in use */
  NEL_E_TIMEOUT = 5,          /* no answer (unit or acquisition thread) within the limit */
  NEL_E_DEVICE_LOST = 6,      /* the port hung up or failed */
  NEL_E_BAD_REPLY = 7,        /* an answer that is incomplete or implausible */
  NEL_E_REFUSED = 8,          /* not allowed in the current state */
  NEL_E_NO_MEMORY = 9,        /* a resource could not be obtained */
  NEL_E_BAD_FILE = 10,        /* a file that cannot be read or is malformed */
  NEL_E_SAFETY_STOP = 11,     /* the library stopped every pump (nel_get_safety_report) */
  NEL_E_NO_VIRTUAL_UNIT = 12, /* this build has no virtual unit */
} nel_result;

typedef struct nel_device nel_device;

/* How nel_open finds the unit. */
typedef struct nel_open_params {
  int32_t port;           /* 0: search ports 1..149; 1..149: that port only */
  int32_t category;       /* detect category 0..6 (which waves and cuffs) */
  int32_t read_coeff;     /* nonzero: read the unit's conversion set when sampling starts */
  int32_t virtual_unit;   /* nonzero: serve the built-in virtual unit and use it */
  double speed;           /* virtual unit: virtual time per real time, 0.1..50 (0 means 1) */
  const char* subject;    /* virtual unit: subject file (JSON) or NULL for the default subject */
  const char* param_path; /* folder of the library's parameter files or NULL */
} nel_open_params;

/* One frame: every wave of the category's wave list (filtered, display units
 * for ECG and PCG, mmHg for pulse waves) and every cuff of its cuff list
 * (mmHg), in list order; unused places are 0. */
typedef struct nel_frame {
  uint64_t index; /* frames since sampling started; a gap means frames were dropped */
  float wave[8];
  float pressure[6];
} nel_frame;

typedef struct nel_bp_result {
  int16_t sbp; /* mmHg; -1 while none */
  int16_t dbp;
  int16_t map;
  int16_t reserved;
  int32_t status; /* 0 measuring, 1 ok, 2 overtime, 3 failed, 4 remeasure, 5 restart, 6 over-pressure, 7 stopped */
} nel_bp_result;

typedef struct nel_status {
  int32_t pulse_rate;  /* bpm; 0 while none */
  nel_bp_result bp[6]; /* per cuff position of the cuff list */
  uint8_t bp_end;      /* a measurement ended (also after a safety stop) */
  uint8_t signal_check_end;
  uint8_t hold_end;   /* the held pressure has settled */
  uint8_t record_end; /* the wave record is full */
  uint8_t cvrr_end;
  uint8_t exercise_end;
  uint8_t device_lost; /* the port failed, or sampling runs and the unit is silent */
  uint8_t reserved;
  int32_t exercise_stage;
  uint64_t frames;         /* frames taken since sampling started */
  uint64_t dropped_frames; /* frames the host did not read in time (queue full) */
  uint64_t dropped_bytes;  /* bytes of the unit lost before the passes took them (receive ring full) */
} nel_status;

typedef struct nel_layout {
  int32_t wave_count; /* 0..8 */
  int32_t waves[8];   /* wave kind per wave position: 0 ECG, 1 PCG, 2..7 pulse RBra LBra RAnk LAnk RToe LToe */
  int32_t cuff_count; /* 0..6 */
  int32_t cuffs[6];   /* channel per cuff position: 0 RBra, 1 LBra, 2 RAnk, 3 LAnk, 4 RToe, 5 LToe */
} nel_layout;

typedef struct nel_safety_report {
  int32_t reason; /* 0 none, 1 over-pressure, 2 time limit, 3 unit silent, 4 device lost */
  int32_t line;   /* pneumatic line 0..3; -1 for a link fault */
  float pressure; /* mmHg at the stop */
  float ceiling;  /* mmHg in force at the stop */
  float seconds;  /* seconds the line had been above 15 mmHg */
  int32_t stop_count;
} nel_safety_report;

/* Blood pressure of one limb handed to the analysis; -1 = not measured. */
typedef struct nel_limb_bp {
  int16_t sbp;
  int16_t dbp;
  int16_t map;
} nel_limb_bp;

/* The waveform analysis of a record (nel_analyse_record). Indices and
 * ratios are -1 (AIx -9999) where they could not be computed. */
typedef struct nel_analysis_result {
  int32_t result;     /* 0 complete, 1 no record, 2 bad sample rate, 3 bad sample, 4 no heart sounds, 5 no memory */
  int32_t heart_rate; /* bpm */
  float right_abi, left_abi, right_bai, left_bai;
  float right_tbi, left_tbi, right_bti, left_bti;
  float right_pwv, left_pwv;      /* cm/s */
  int16_t map_percent[4];         /* per limb: right arm, left arm, right ankle or toe, left ankle or toe */
  int16_t upstroke_time[4];       /* ms, same limbs */
  int16_t pep, et, aix, reserved; /* ms, ms, percent */
  int32_t bad_sample_kind;        /* result 3: wave kind of the first bad sample; else -1 */
  int32_t bad_sample_record;      /* result 3: its sample index; else -1 */
} nel_analysis_result;

#pragma pack(push, 1)
/* One sample of the wave record, as the record files store it. */
typedef struct nel_wave_sample {
  float wave[6];
  uint8_t mark[6];
} nel_wave_sample;

/* The CVRR check's result (nel_cvrr_get_result). */
typedef struct nel_cvrr_result {
  int32_t data_len; /* ECG samples analysed */
  int32_t r_count;
  int32_t r_pos[1200];
  float mean_rr;    /* ms */
  float heart_rate; /* bpm */
  float cvrr;       /* percent */
  float mean_dev;   /* ms */
  int32_t over50_count;
  float over50_ratio;
  int32_t rr_range; /* ms */
  float min_max_ratio;
  int32_t rr_count;
  int32_t rr[1200]; /* ms */
} nel_cvrr_result;

/* The exercise protocol's configuration. */
typedef struct nel_exercise_config {
  uint8_t reserved0[6];
  int16_t check_count;      /* 1..10 */
  int16_t timing_mode;      /* 0: interval_minutes from start to start; else pause_seconds between checks */
  int32_t interval_minutes; /* 1..1440 */
  int32_t pause_seconds;    /* 0..86400 */
  uint8_t reserved1[8];
  int32_t bp_mode;      /* 0 sequential, 1 right then left, 2 simultaneous */
  int16_t max_pressure; /* 30..300 mmHg */
  uint8_t reserved2[2];
} nel_exercise_config;

typedef struct nel_exercise_check {
  int16_t bp[4][3]; /* SBP, DBP, MAP of right arm, left arm, right ankle, left ankle */
  int32_t time;     /* local time at the check's start: hour*10000 + minute*100 + second */
  float right_abi, left_abi, right_bai, left_bai;
} nel_exercise_check;

typedef struct nel_exercise_record {
  int16_t check_num; /* checks finished */
  nel_exercise_check check[10];
  nel_exercise_config config;
} nel_exercise_record;
#pragma pack(pop)

#if defined(__cplusplus)
static_assert(sizeof(nel_open_params) == 24 + 2 * sizeof(void*), "nel_open_params");
static_assert(sizeof(nel_frame) == 64, "nel_frame");
static_assert(sizeof(nel_bp_result) == 12, "nel_bp_result");
static_assert(sizeof(nel_status) == 112, "nel_status");
static_assert(sizeof(nel_layout) == 64, "nel_layout");
static_assert(sizeof(nel_safety_report) == 24, "nel_safety_report");
static_assert(sizeof(nel_wave_sample) == 30, "nel_wave_sample");
static_assert(sizeof(nel_limb_bp) == 6, "nel_limb_bp");
static_assert(sizeof(nel_analysis_result) == 80, "nel_analysis_result");
static_assert(sizeof(nel_cvrr_result) == 9644, "nel_cvrr_result");
static_assert(sizeof(nel_exercise_config) == 34, "nel_exercise_config");
static_assert(sizeof(nel_exercise_check) == 44, "nel_exercise_check");
static_assert(sizeof(nel_exercise_record) == 476, "nel_exercise_record");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(nel_open_params) == 24 + 2 * sizeof(void*), "nel_open_params");
_Static_assert(sizeof(nel_frame) == 64, "nel_frame");
_Static_assert(sizeof(nel_bp_result) == 12, "nel_bp_result");
_Static_assert(sizeof(nel_status) == 112, "nel_status");
_Static_assert(sizeof(nel_layout) == 64, "nel_layout");
_Static_assert(sizeof(nel_safety_report) == 24, "nel_safety_report");
_Static_assert(sizeof(nel_wave_sample) == 30, "nel_wave_sample");
_Static_assert(sizeof(nel_limb_bp) == 6, "nel_limb_bp");
_Static_assert(sizeof(nel_analysis_result) == 80, "nel_analysis_result");
_Static_assert(sizeof(nel_cvrr_result) == 9644, "nel_cvrr_result");
_Static_assert(sizeof(nel_exercise_config) == 34, "nel_exercise_config");
_Static_assert(sizeof(nel_exercise_check) == 44, "nel_exercise_check");
_Static_assert(sizeof(nel_exercise_record) == 476, "nel_exercise_record");
#endif

/* ---- versions and errors ------------------------------------------------ */
NEL_C_API uint32_t nel_abi_version(void);            /* NEL_C_ABI_VERSION of the loaded library */
NEL_C_API uint32_t nel_library_version(void);        /* the processing library's version (0x0001002B) */
NEL_C_API const char* nel_result_text(int32_t code); /* fixed English text; "unknown result" otherwise */
NEL_C_API int32_t nel_last_error_code(void);         /* the calling thread's last failure; NEL_OK when none */
NEL_C_API const char* nel_last_error_text(void);

/* ---- lifecycle ------------------------------------------------------------ */
/* Fills *params with the defaults: port search, category 0, read the
 * conversion set, no virtual unit, speed 1. */
NEL_C_API nel_result nel_open_params_init(nel_open_params* params);
/* Finds and opens the unit (or starts the virtual unit), starts sampling and
 * the acquisition thread. On failure *device is NULL. */
NEL_C_API nel_result nel_open(const nel_open_params* params, nel_device** device);
/* Cancels every mode, stops every pump, opens every valve, closes the port,
 * ends the thread and frees the handle. NULL is accepted. */
NEL_C_API nel_result nel_close(nel_device* device);

/* ---- frames and status ---------------------------------------------------- */
/* Moves up to `capacity` frames, oldest first, into `frames`; *count gets
 * the number moved (0 when none waits). The queue holds 30000 frames (30 s
 * at real time); when it is full the oldest frame goes (nel_status counts them). */
NEL_C_API nel_result nel_read_frames(nel_device* device, nel_frame* frames, int32_t capacity, int32_t* count);
/* Waits until a frame waits (NEL_OK) or timeout_ms passed (NEL_E_TIMEOUT);
 * timeout_ms 0..600000. */
NEL_C_API nel_result nel_wait_frames(nel_device* device, int32_t timeout_ms);
/* A descriptor that is readable while a frame waits (poll/select); owned by
 * the handle. After a read that took the last waiting frame it may stay
 * readable until a read finds nothing (returns count 0), which clears it: a
 * host woken by it reads until count is 0. */
NEL_C_API nel_result nel_frames_descriptor(nel_device* device, int32_t* fd);
NEL_C_API nel_result nel_get_status(nel_device* device, nel_status* status);
NEL_C_API nel_result nel_get_layout(nel_device* device, nel_layout* layout);
NEL_C_API nel_result nel_get_safety_report(nel_device* device, nel_safety_report* report);

/* ---- modes ----------------------------------------------------------------
 * A mode's end shows in nel_status (bp_end, record_end, ...) and stays
 * reported until the mode is cancelled: read its results, then cancel it
 * before starting another. A measurement that has ended holds the passes at
 * its end (no filtering, no record) until nel_bp_cancel, which keeps the
 * cuffs' results. */
/* mode: 0 sequential, 1 right then left, 2 simultaneous; selected: 6 flags by
 * channel; max_pressure 30..300 mmHg; pulse_rate: the expected rate, bpm (0
 * when unknown). */
NEL_C_API nel_result nel_bp_start(nel_device* device, int32_t mode, int32_t max_pressure, const uint8_t selected[6],
                                  int32_t pulse_rate);
NEL_C_API nel_result nel_bp_cancel(nel_device* device);
/* Holds every cuff of the category at `pressure` mmHg (10..200). */
NEL_C_API nel_result nel_hold_start(nel_device* device, int32_t pressure);
NEL_C_API nel_result nel_hold_cancel(nel_device* device, int32_t deflate);
NEL_C_API nel_result nel_record_start(nel_device* device);
/* Copies up to `capacity` samples of the wave record (from its start) into
 * `samples`; *count gets the number copied. */
NEL_C_API nel_result nel_record_read(nel_device* device, nel_wave_sample* samples, int32_t capacity, int32_t* count);
NEL_C_API nel_result nel_record_cancel(nel_device* device);
NEL_C_API nel_result nel_signal_check_start(nel_device* device);
NEL_C_API nel_result nel_signal_check_cancel(nel_device* device);
/* base and datum: 8 entries each, per wave position. */
NEL_C_API nel_result nel_signal_check_get_result(nel_device* device, int32_t base[8], int32_t datum[8]);
/* length: ECG samples to record (clamped to 30000..300000). The check
 * switches the device to category 3 (ECG and PCG): read the layout again. */
NEL_C_API nel_result nel_cvrr_start(nel_device* device, int32_t length);
NEL_C_API nel_result nel_cvrr_get_progress(nel_device* device, int32_t* saved);
/* NEL_E_REFUSED until the check has ended with a result; conclusion may be NULL. */
NEL_C_API nel_result nel_cvrr_get_result(nel_device* device, nel_cvrr_result* result, uint32_t* conclusion);
NEL_C_API nel_result nel_cvrr_cancel(nel_device* device);
NEL_C_API nel_result nel_exercise_start(nel_device* device, const nel_exercise_config* config);
/* check_no: checks finished; next_seconds: -1 while measuring, else the
 * seconds until the next check. Either may be NULL. */
NEL_C_API nel_result nel_exercise_get_progress(nel_device* device, int32_t* check_no, int32_t* next_seconds);
NEL_C_API nel_result nel_exercise_get_record(nel_device* device, nel_exercise_record* record);
NEL_C_API nel_result nel_exercise_cancel(nel_device* device);
/* Ends every mode, stops every pump and opens every valve. */
NEL_C_API nel_result nel_cancel_all(nel_device* device);

/* ---- analysis of a finished record ---------------------------------------- */
/* Marks every wave of `samples` (count samples at 1000 a second, wave_count
 * waves of the kinds in `kinds`, none twice) and computes the results. limbs:
 * right arm, left arm, right and left lower limb (ankles when ankle_mode,
 * else toes). The ECG analysis shares the library's beat detector with the
 * acquisition: with a device given, the analysis runs on its acquisition
 * thread between two passes; without one, it is refused while any handle is
 * open. NEL_OK means the analysis ran: read result->result for its outcome. */
NEL_C_API nel_result nel_analyse_record(nel_device* device, const int32_t* kinds, int32_t wave_count,
                                        nel_wave_sample* samples, int32_t count, const nel_limb_bp limbs[4],
                                        int32_t ankle_mode, int32_t height_cm, float pwv_factor, int32_t filter,
                                        nel_analysis_result* result);

/* NOLINTEND(readability-identifier-naming,modernize-use-using) */

#ifdef __cplusplus
}
#endif

#endif /* NEL_NEL_C_H */
