// SPDX-License-Identifier: MIT
#include "control/drive_advice.h"

#include "aspi/wnaspi32.h"
#include "scsi/aspi_call.h"

const char* no_adapter_advice(void) {
  auto reason_of = reinterpret_cast<GetASPI32NoAdapterReasonFn>(aspi_provider_symbol("GetASPI32NoAdapterReason"));
  switch (reason_of ? reason_of() : ASPI_NO_ADAPTER_NONE) {
    case ASPI_NO_ADAPTER_BUS_FILE:
      return "The bus file named by KESTREL_BUS cannot be read or lists no drive: correct it, or unset "
             "KESTREL_BUS to use this machine's drives.\n";
    case ASPI_NO_ADAPTER_NO_SG_DRIVER:
      return "The SCSI generic driver is not loaded: run 'sudo modprobe sg', then kestrel-drives (for "
             "virtual drives, set KESTREL_BUS to a bus file).\n";
    case ASPI_NO_ADAPTER_NO_SG_DEVICE:
      return "The kernel sees no SCSI device: check the drive's power, cable and termination and the "
             "adapter's driver, then run kestrel-drives (for virtual drives, set KESTREL_BUS to a bus file).\n";
    default:
      return "";
  }
}
