// The program's private files: the programs `faxmail` starts (the windows,
// the mailbox watch) and the modules it loads on first use (the geocoder's
// data, the secret store's D-Bus stack), so that a command pays only for what
// it uses. The counterpart of LoadLibrary and GetProcAddress.
#pragma once

#include <string>

namespace Win {

// Where the private file `name` is: <the running program's folder>/../libexec/faxmail/
// (/usr/bin/faxmail: /usr/libexec/faxmail/; a build tree keeps them in
// build/libexec/faxmail/), else the running program's own folder (the private
// programs themselves). "" when it is in neither.
std::string PrivateFile(const std::string& name);

// The function `symbol` of the private module `module` ("faxmail-geocoder.so"),
// loaded on the first call and kept; nullptr when the module or the function
// is missing, and then the caller does without.
void* ModuleFunction(const char* module, const char* symbol);

}  // namespace Win
