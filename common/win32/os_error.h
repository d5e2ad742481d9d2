#pragma once

#include <windows.h>

#include <string>

#include "common/error.h"

namespace qm {

// The system's text for a Win32 error code or HRESULT, without the trailing line end.
std::wstring SystemMessage(DWORD code);

// An Error carrying `code` and the system's text for it.
Error OsError(DWORD code);
// The same for GetLastError().
Error LastOsError();
// The same for a failed HRESULT; WMI's own codes are described from its message table.
Error HresultError(HRESULT hr);

}  // namespace qm
