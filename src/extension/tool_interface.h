#pragma once

// The extension library's interface for a host's command-line tools: the
// user's connection commands on an extension object, and facts a tool needs
// to report a run. Exported as one versioned table of functions:
//
//   const ZefaToolInterface* ZefaGetToolInterface(std::uint32_t version);
//
// which answers null for a version the library does not provide. Functions
// taking an extension answer -1 when it is not a pipeline unit operation of
// this library.

#include <cstddef>
#include <cstdint>

#include "host/extension.h"

extern "C" {

// Version 2 added launch_server, version 3 profiles; an earlier version's
// table is the first part of a later one.
inline constexpr std::uint32_t kZefaToolInterfaceVersion = 3;
inline constexpr const char* kZefaToolInterfaceSymbol = "ZefaGetToolInterface";

struct ZefaToolInterface {
    std::uint32_t version;
    // Writes `value` as the extension writes numbers as text, NUL-terminated
    // and cut to `size`; answers the length of the full text.
    int (*format_double)(double value, char* buffer, std::size_t size);
    // The user's commands; 1 on success, 0 otherwise. Opening the connection
    // starts the server first (automatic start).
    int (*open_connection)(host::UnitOperationExtension* extension);
    int (*load_model)(host::UnitOperationExtension* extension);
    int (*initialize_model)(host::UnitOperationExtension* extension);
    int (*close_connection)(host::UnitOperationExtension* extension);
    // Refreshes the status line; 1.
    int (*update_status)(host::UnitOperationExtension* extension);
    // Server state: 0 not connected, 1 connected, 2 model loaded, 4 initialised.
    int (*server_state)(host::UnitOperationExtension* extension);
    // Id of the server process this object started, 0 when it started none.
    int (*started_server_pid)(host::UnitOperationExtension* extension);
    // Host steps so far whose server step did not finish within its time-out.
    long (*step_time_outs)(host::UnitOperationExtension* extension);
    // Waits, at most the unit's TimeStepTimeOut, for the server to finish the
    // step it is on (a standalone run's results are taken meanwhile); 1 when
    // no step is outstanding any more, 0 otherwise.
    int (*wait_for_step)(host::UnitOperationExtension* extension);
    // Server step replies of the run (since the coupled run or standalone
    // run last started) whose results could not be used (a value short or
    // too many, empty, not finite); the host kept the last results.
    long (*bad_step_replies)(host::UnitOperationExtension* extension);
    // The trend and profile requests refused during the run and left out of
    // its refreshes, one a line ("$POSITION KEY", "$BRANCH KEY"), written
    // NUL-terminated and cut to `size`; answers the length of the full text.
    int (*left_out_requests)(host::UnitOperationExtension* extension, char* buffer,
                             std::size_t size);
    // Version 2. Starts, without waiting, the server that the unit's coupled
    // run would start at its initialisation; that initialisation then
    // connects as soon as the server listens. A host calls it for every unit
    // before it initialises any, so that the servers start side by side. 1
    // when started or when there is nothing to start, 0 when the start
    // failed (reported).
    int (*launch_server)(host::UnitOperationExtension* extension);
    // Version 3. Every enabled profile as last fetched, a line each in row
    // order: branch, variable key, unit, the distances along the branch and
    // the values (each list blank-separated), the five parts tab-separated;
    // written NUL-terminated and cut to `size`; answers the full length.
    int (*profiles)(host::UnitOperationExtension* extension, char* buffer, std::size_t size);
    // Version 3. Refreshes the unit's trends at the pipeline's present time
    // (after a run: its end time); 1 when refreshed, 0 while a server step
    // is outstanding or the refresh failed (reported).
    int (*refresh_trends)(host::UnitOperationExtension* extension);
};

using ZefaGetToolInterfaceFn = const ZefaToolInterface* (*)(std::uint32_t version);
}
