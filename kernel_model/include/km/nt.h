// The kernel as a driver sees it in the host build: every declaration the
// driver and the simulated modem use, with the DDK's names, values and i386
// layouts. Driver code reaches it through platform/kernel.h.
#pragma once

#include <km/nt_base.h>
#include <km/nt_ke.h>
#include <km/nt_io.h>
#include <km/nt_rtl.h>
#include <km/nt_usb.h>
#include <km/nt_serial.h>
