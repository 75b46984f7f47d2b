#include "diagnostics/status_text.h"

#include <cstdint>
#include <cstdio>

#include "platform/com_types.h"
#include "platform/dshow_status.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

namespace diagnostics {
namespace {

struct StatusRow {
  HRESULT code;
  const char* name;
  const char* meaning;
};

// Codes whose reading depends on who returned them come first in the registration table.
constexpr StatusRow kRegistrationRows[] = {
    {static_cast<HRESULT>(0x80040200u), "SELFREG_E_TYPELIB", "the module could not register its type library"},
    {static_cast<HRESULT>(0x80040201u), "SELFREG_E_CLASS",
     "the module could not write or remove its class registration"},
};

constexpr StatusRow kRows[] = {
    {S_OK, "S_OK", "success"},
    {S_FALSE, "S_FALSE", "success, with nothing done or a partial answer"},
    {E_NOTIMPL, "E_NOTIMPL", "the operation is not implemented"},
    {E_NOINTERFACE, "E_NOINTERFACE", "the object does not offer the interface asked for"},
    {E_POINTER, "E_POINTER", "a required pointer was missing"},
    {E_ABORT, "E_ABORT", "the operation was aborted"},
    {E_FAIL, "E_FAIL", "unspecified failure"},
    {E_UNEXPECTED, "E_UNEXPECTED", "the call came at an unexpected time"},
    {E_ACCESSDENIED, "E_ACCESSDENIED", "access denied (run as a user allowed to change this)"},
    {E_HANDLE, "E_HANDLE", "an invalid handle was used"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
    {E_INVALIDARG, "E_INVALIDARG", "an argument is not valid"},
    {E_PENDING, "E_PENDING", "the data is not available yet"},
    {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION", "the class cannot be created as part of an aggregate"},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE", "the module does not provide this class"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "the class is not registered (register the camera module first)"},
    {REGDB_E_READREGDB, "REGDB_E_READREGDB", "the registry could not be read"},
    {REGDB_E_WRITEREGDB, "REGDB_E_WRITEREGDB", "the registry could not be written"},
    {REGDB_E_KEYMISSING, "REGDB_E_KEYMISSING", "a registry key is missing"},
    {REGDB_E_INVALIDVALUE, "REGDB_E_INVALIDVALUE", "a registry value is not valid"},
    {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED", "the component runtime was not initialised on this thread"},
    {CO_E_CLASSSTRING, "CO_E_CLASSSTRING", "the class identifier is not a valid GUID"},
    {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND", "the module file named in the registry cannot be found"},
    {CO_E_ERRORINDLL, "CO_E_ERRORINDLL", "the module file named in the registry could not be loaded"},
    {RPC_E_CHANGED_MODE, "RPC_E_CHANGED_MODE", "the thread's component runtime was initialised in another mode"},
    {E_PROP_SET_UNSUPPORTED, "E_PROP_SET_UNSUPPORTED", "the property set is not supported"},
    {E_PROP_ID_UNSUPPORTED, "E_PROP_ID_UNSUPPORTED", "the property is not supported"},
    {VFW_S_NO_MORE_ITEMS, "VFW_S_NO_MORE_ITEMS", "the end of the list was reached"},
    {VFW_S_STATE_INTERMEDIATE, "VFW_S_STATE_INTERMEDIATE", "the state change has not completed yet"},
    {VFW_S_CANT_CUE, "VFW_S_CANT_CUE", "a live source cannot deliver data while paused"},
    {VFW_E_INVALIDMEDIATYPE, "VFW_E_INVALIDMEDIATYPE", "the media type is not acceptable"},
    {VFW_E_INVALIDSUBTYPE, "VFW_E_INVALIDSUBTYPE", "the media subtype is not acceptable"},
    {VFW_E_NEED_OWNER, "VFW_E_NEED_OWNER", "the object can only be used inside a filter"},
    {VFW_E_ENUM_OUT_OF_SYNC, "VFW_E_ENUM_OUT_OF_SYNC", "the list changed while it was being read"},
    {VFW_E_ALREADY_CONNECTED, "VFW_E_ALREADY_CONNECTED", "the pin is already connected"},
    {VFW_E_FILTER_ACTIVE, "VFW_E_FILTER_ACTIVE", "the filter is running or paused; stop it first"},
    {VFW_E_NO_TYPES, "VFW_E_NO_TYPES", "the pin offers no media types"},
    {VFW_E_NO_ACCEPTABLE_TYPES, "VFW_E_NO_ACCEPTABLE_TYPES", "the two pins have no media type in common"},
    {VFW_E_INVALID_DIRECTION, "VFW_E_INVALID_DIRECTION", "the pins cannot connect in this direction"},
    {VFW_E_NOT_CONNECTED, "VFW_E_NOT_CONNECTED", "the pin is not connected"},
    {VFW_E_NO_ALLOCATOR, "VFW_E_NO_ALLOCATOR", "no sample allocator could be agreed on"},
    {VFW_E_RUNTIME_ERROR, "VFW_E_RUNTIME_ERROR", "a run-time error occurred in the stream"},
    {VFW_E_BUFFER_NOTSET, "VFW_E_BUFFER_NOTSET", "no buffer space has been set"},
    {VFW_E_BUFFER_OVERFLOW, "VFW_E_BUFFER_OVERFLOW", "the buffer is not big enough"},
    {VFW_E_BADALIGN, "VFW_E_BADALIGN", "the alignment is not valid"},
    {VFW_E_ALREADY_COMMITTED, "VFW_E_ALREADY_COMMITTED", "the allocator is committed; decommit it first"},
    {VFW_E_BUFFERS_OUTSTANDING, "VFW_E_BUFFERS_OUTSTANDING", "samples are still in use"},
    {VFW_E_NOT_COMMITTED, "VFW_E_NOT_COMMITTED", "the allocator is not committed (the stream is stopping)"},
    {VFW_E_SIZENOTSET, "VFW_E_SIZENOTSET", "the allocator's buffer size has not been set"},
    {VFW_E_NO_CLOCK, "VFW_E_NO_CLOCK", "there is no reference clock"},
    {VFW_E_NO_SINK, "VFW_E_NO_SINK", "there is no event sink"},
    {VFW_E_NO_INTERFACE, "VFW_E_NO_INTERFACE", "a required interface is missing"},
    {VFW_E_NOT_FOUND, "VFW_E_NOT_FOUND", "the object was not found"},
    {VFW_E_CANNOT_CONNECT, "VFW_E_CANNOT_CONNECT", "no combination of filters could connect the pins"},
    {VFW_E_CANNOT_RENDER, "VFW_E_CANNOT_RENDER", "no combination of filters could render the stream"},
    {VFW_E_CHANGING_FORMAT, "VFW_E_CHANGING_FORMAT", "the format could not be changed dynamically"},
    {VFW_E_STATE_CHANGED, "VFW_E_STATE_CHANGED", "the state changed during the operation"},
    {VFW_E_NOT_STOPPED, "VFW_E_NOT_STOPPED", "the filter must be stopped for this"},
    {VFW_E_NOT_PAUSED, "VFW_E_NOT_PAUSED", "the filter must be paused for this"},
    {VFW_E_NOT_RUNNING, "VFW_E_NOT_RUNNING", "the filter must be running for this"},
    {VFW_E_WRONG_STATE, "VFW_E_WRONG_STATE", "the filter is in the wrong state for this"},
    {VFW_E_START_TIME_AFTER_END, "VFW_E_START_TIME_AFTER_END", "the start time is after the end time"},
    {VFW_E_TYPE_NOT_ACCEPTED, "VFW_E_TYPE_NOT_ACCEPTED", "the media type was not accepted"},
    {VFW_E_SAMPLE_REJECTED, "VFW_E_SAMPLE_REJECTED", "the sample was rejected"},
    {VFW_E_TIMEOUT, "VFW_E_TIMEOUT", "the operation timed out"},
    {VFW_E_INVALID_MEDIA_TYPE, "VFW_E_INVALID_MEDIA_TYPE", "the camera cannot deliver this format or size"},
    {VFW_E_NOT_IN_GRAPH, "VFW_E_NOT_IN_GRAPH", "the filter is not in a filter graph"},
    {VFW_E_NO_CAPTURE_HARDWARE, "VFW_E_NO_CAPTURE_HARDWARE", "no capture device is available"},
    {static_cast<HRESULT>(0x80070002u), "ERROR_FILE_NOT_FOUND", "the file or registry entry does not exist"},
    };

const StatusRow* Find(HRESULT hr, StatusDomain domain) {
  if (domain == StatusDomain::kRegistration)
    for (const StatusRow& row : kRegistrationRows)
      if (row.code == hr) return &row;
  for (const StatusRow& row : kRows)
    if (row.code == hr) return &row;
  return nullptr;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(hr)));
  return text;
}

// The system's text for a wrapped system error, on one line and without its line end.
std::string SystemText(HRESULT hr) {
  const auto code = static_cast<std::uint32_t>(hr);
  if ((code >> 16) != 0x8007u) return {};
  std::string text = platform::WideToUtf8(platform::FormatSystemMessage(code & 0xFFFFu));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

}  // namespace

std::string StatusName(HRESULT hr, StatusDomain domain) {
  const StatusRow* row = Find(hr, domain);
  return row != nullptr ? row->name : std::string();
}

std::string DescribeStatus(HRESULT hr, StatusDomain domain) {
  if (const StatusRow* row = Find(hr, domain))
    return std::string(row->name) + " (" + Hex(hr) + "): " + row->meaning;
  const std::string system = SystemText(hr);
  if (!system.empty()) return "system error " + std::to_string(static_cast<std::uint32_t>(hr) & 0xFFFFu) + " (" + Hex(hr) + "): " + system;
  return "status " + Hex(hr) + (FAILED(hr) ? ": an unlisted failure" : ": an unlisted success code");
}

}  // namespace diagnostics
