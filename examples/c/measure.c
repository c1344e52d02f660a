/* The smallest useful C host: stream ten seconds, measure four cuffs, record
 * and analyse. With no argument it serves the built-in virtual unit (at the
 * speed given by NEL_EXAMPLE_SPEED, 1 by default); with a port number it uses
 * the unit on that port (0 searches every port). */
#include <stdio.h>
#include <stdlib.h>
#include <nel/nel_c.h>

static int fail(const char* what) {
  fprintf(stderr, "%s: %s (%s)\n", what, nel_result_text(nel_last_error_code()), nel_last_error_text());
  return 1;
}

/* Reads frames until `done` returns nonzero, for at most ten minutes of the
 * unit's time; fills *st with the last status. */
static int until(nel_device* d, nel_status* st, int (*done)(const nel_status*)) {
  static nel_frame buf[4096];
  int32_t n;
  for (long frames = 0; frames < 600000; frames += n) {
    if (nel_wait_frames(d, 5000) != NEL_OK || nel_read_frames(d, buf, 4096, &n) != NEL_OK) return 0;
    if (nel_get_status(d, st) != NEL_OK) return 0;
    if (done(st)) return 1;
  }
  return 0;
}
static int bp_done(const nel_status* s) { return s->bp_end; }
static int record_done(const nel_status* s) { return s->record_end; }

int main(int argc, char** argv) {
  nel_open_params p;
  nel_open_params_init(&p);
  if (argc > 1) {
    p.port = atoi(argv[1]);
  } else {
    p.virtual_unit = 1;
    p.speed = getenv("NEL_EXAMPLE_SPEED") ? atof(getenv("NEL_EXAMPLE_SPEED")) : 1.0;
  }
  nel_device* d;
  if (nel_open(&p, &d) != NEL_OK) return fail("open");

  /* 1. Ten seconds of frames: one line a second. */
  static nel_frame frames[1000];
  for (int second = 0; second < 10; ++second) {
    int32_t got = 0, n = 0;
    while (got < 1000) {
      if (nel_wait_frames(d, 5000) != NEL_OK) return fail("stream");
      nel_read_frames(d, frames + got, 1000 - got, &n);
      got += n;
    }
    printf("frame %6llu  ECG %7.3f  PCG %7.3f  cuff RBra %5.1f mmHg\n",
           (unsigned long long)frames[999].index, frames[999].wave[0], frames[999].wave[1], frames[999].pressure[0]);
  }

  /* 2. Four cuffs at once. */
  static const char* names[] = {"RBra", "LBra", "RAnk", "LAnk"};
  const uint8_t four[6] = {1, 1, 1, 1, 0, 0};
  nel_status st;
  if (nel_bp_start(d, 2, 200, four, 0) != NEL_OK || !until(d, &st, bp_done)) return fail("measure");
  for (int k = 0; k < 4; ++k)
    printf("%s  %3d/%3d mmHg  MAP %3d  status %d\n", names[k], st.bp[k].sbp, st.bp[k].dbp, st.bp[k].map,
           st.bp[k].status);
  if (nel_bp_cancel(d) != NEL_OK) return fail("measure"); /* the end holds back every other mode until then */

  /* 3. A 15 s record of every wave, analysed with the pressures just measured. */
  static nel_wave_sample rec[15000];
  int32_t count = 0;
  nel_layout layout;
  if (nel_record_start(d) != NEL_OK || !until(d, &st, record_done)) return fail("record");
  if (nel_record_read(d, rec, 15000, &count) != NEL_OK || nel_get_layout(d, &layout) != NEL_OK) return fail("read");
  nel_limb_bp limbs[4];
  for (int k = 0; k < 4; ++k) limbs[k] = (nel_limb_bp){st.bp[k].sbp, st.bp[k].dbp, st.bp[k].map};
  nel_analysis_result a;
  const int32_t waves = layout.wave_count < 6 ? layout.wave_count : 6;
  if (nel_analyse_record(d, layout.waves, waves, rec, count, limbs, 1, 170, 0.0f, 0, &a) != NEL_OK)
    return fail("analyse");
  printf("record %d samples: heart rate %d/min  ABI right %.2f left %.2f  PWV right %.0f left %.0f cm/s\n", count,
         a.heart_rate, a.right_abi, a.left_abi, a.right_pwv, a.left_pwv);

  return nel_close(d) == NEL_OK ? 0 : fail("close");
}
