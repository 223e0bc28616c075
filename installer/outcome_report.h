// What the installer leaves in the update client's ClientStateKey: the
// "-full" channel marker at the start and the outcome at the end. Best
// effort: nothing here can fail the run, and no key is ever created.
#pragma once

#include <cstdint>

#include "exit_result.h"
#include "launch_settings.h"

void MarkFullInstallerChannel(const LaunchSettings& settings);
// Records the failure unless a non-zero "InstallerResult" is already there.
void WriteInstallerFailure(const LaunchSettings& settings, ExitResult result);
// "InstallerExtraCode1" = 0x30000 | retries of the slowest deletion.
void WriteInstallerSuccess(const LaunchSettings& settings,
                           int32_t max_delete_attempts);
