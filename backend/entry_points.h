// The thirteen exported SANE entry points, as a frontend (or a test or the
// benchmark, linked with the library's objects) sees them.
#pragma once

#include <sane/sane.h>

extern "C" {
SANE_Status sane_kelvra_init(SANE_Int* version_code, SANE_Auth_Callback authorize);
void sane_kelvra_exit(void);
SANE_Status sane_kelvra_get_devices(const SANE_Device*** device_list, SANE_Bool local_only);
SANE_Status sane_kelvra_open(SANE_String_Const devicename, SANE_Handle* handle);
void sane_kelvra_close(SANE_Handle handle);
const SANE_Option_Descriptor* sane_kelvra_get_option_descriptor(SANE_Handle handle, SANE_Int option);
SANE_Status sane_kelvra_control_option(SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                                       SANE_Int* info);
SANE_Status sane_kelvra_get_parameters(SANE_Handle handle, SANE_Parameters* params);
SANE_Status sane_kelvra_start(SANE_Handle handle);
SANE_Status sane_kelvra_read(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length, SANE_Int* length);
void sane_kelvra_cancel(SANE_Handle handle);
SANE_Status sane_kelvra_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking);
SANE_Status sane_kelvra_get_select_fd(SANE_Handle handle, SANE_Int* fd);
}
