// Warnings of the "tavo" logger from native code.
#pragma once

namespace tavo {

// Logs `message` as a warning of the "tavo" logger if the calling thread holds
// the interpreter lock (otherwise nothing). An exception being raised stays as
// it was; a failure to log is dropped, and an exception of the program met
// while logging is handed back to it.
void log_tavo_warning(const char* message);

}  // namespace tavo
