// The one header a host includes: every exported class, record, enumeration and
// function of the library.
#pragma once

#include <nel/export.h>

#include <nel/analysis/cvrr_ana.h>
#include <nel/analysis/data_ana.h>
#include <nel/analysis/wave_record_file.h>
#include <nel/bp/bp_records.h>
#include <nel/bp/bpv_check.h>
#include <nel/bp/proc_bp_data.h>
#include <nel/bp/pulse_recogn.h>
#include <nel/control/facade_records.h>
#include <nel/control/hard_base.h>
#include <nel/control/version.h>
#include <nel/cuff/bpm_inflate.h>
#include <nel/cuff/cuff_safety.h>
#include <nel/cuff/pressure_adjust.h>
#include <nel/cuff/pressure_fixed.h>
#include <nel/cuff/zero_pressure_adjust.h>
#include <nel/dsp/ecg_pulse_rate.h>
#include <nel/dsp/fir_filter_bank.h>
#include <nel/link/category_layout.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/qx_protocol.h>
#include <nel/link/records.h>
#include <nel/link/sam_thread.h>
#include <nel/link/serial_port.h>
#include <nel/platform/diagnostics.h>
#include <nel/platform/event.h>
#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>
#include <nel/platform/port_names.h>
