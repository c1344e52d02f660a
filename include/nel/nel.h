// The one header a host includes: every exported class, record, enumeration and
// function of the library.
#pragma once

#include "nel/export.h"

#include "link/records.h"
#include "link/category_layout.h"
#include "bp/bp_records.h"
#include "bp/proc_bp_data.h"
#include "bp/pulse_recogn.h"
#include "analysis/cvrr_ana.h"
#include "cuff/bpm_inflate.h"
#include "bp/bpv_check.h"
#include "control/version.h"
#include "control/facade_records.h"
#include "control/hard_base.h"
#include "dsp/ecg_pulse_rate.h"
#include "dsp/fir_filter_bank.h"
#include "analysis/data_ana.h"
#include "platform/diagnostics.h"
#include "cuff/pressure_adjust.h"
#include "cuff/zero_pressure_adjust.h"
#include "cuff/pressure_fixed.h"
#include "cuff/cuff_safety.h"
#include "link/serial_port.h"
#include "link/qx_protocol.h"
#include "link/sam_thread.h"
#include "link/hard_ctl.h"
