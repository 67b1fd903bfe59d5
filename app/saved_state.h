// The server's saved state (PAPPL's state file) after the server stopped
// without saving the end of its jobs: killed, or the machine lost power.
#pragma once

#include <pappl/pappl.h>

#include <string>

// Before PAPPL reads the state: a job saved as printing would be loaded as
// printing by PAPPL 1.3.1, with nothing printing it, for ever. It ends
// aborted by the system instead, and its document is deleted. A job that
// ended before its document came is kept in the history (PAPPL would
// refuse it for want of a format). False with the reason when the file
// exists but cannot be rewritten.
bool EndInterruptedJobs(const std::string& stateFile, std::string& error);

// After PAPPL has read it: documents and job attributes in the spool that
// belong to no waiting job (received after the last save) are deleted.
void RemoveStraySpoolFiles(pappl_system_t* system, const std::string& spoolDirectory);

// PAPPL's save callback, data the state file's name: the state goes to a
// temporary file first, then takes the file's place, so that two saves at
// once (PAPPL's main loop and a stopping server) leave one whole file.
bool SaveState(pappl_system_t* system, void* stateFile);
