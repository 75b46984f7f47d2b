# Inspects a built Windows binary with objdump and fails when it could not load into a
# stock Windows process of the build's bitness:
#   cmake -DOBJDUMP=<objdump> -DBINARY=<file> -DFORMAT=pei-i386|pei-x86-64
#         [-DEXPORTS=Name1,Name2,...] -P CheckWindowsBinary.cmake
# Checks: the image's format (machine), that every name in EXPORTS is exported under
# exactly that name (no stdcall decoration such as DllCanUnloadNow@0) and that nothing
# else is, and that every imported DLL is one that Windows itself provides or Amberline
# ships (the C++ runtime, libgcc and winpthreads must be linked in statically).
cmake_policy(VERSION 3.25)
foreach(required OBJDUMP BINARY FORMAT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "CheckWindowsBinary.cmake: ${required} is not set")
  endif()
endforeach()
if(NOT EXISTS "${BINARY}")
  message(FATAL_ERROR "${BINARY} does not exist")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${BINARY}" OUTPUT_VARIABLE dump ERROR_VARIABLE dumpError
                RESULT_VARIABLE dumpResult)
if(NOT dumpResult EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${BINARY} failed (${dumpResult}): ${dumpError}")
endif()

set(problems "")

string(REGEX MATCH "file format ([^ \n]+)" formatLine "${dump}")
if(NOT CMAKE_MATCH_1 STREQUAL FORMAT)
  string(APPEND problems "  format is '${CMAKE_MATCH_1}', expected '${FORMAT}'\n")
endif()

# DLLs that every Windows installation has (compared in lower case); api-ms-win-* are the
# system's API sets. Media Foundation's platform and source reader come with the system
# since Windows 7 (the N editions get them with the Media Feature Pack); the session API
# (wtsapi32) since Windows XP.
set(systemDlls kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll shell32.dll
    shlwapi.dll msvcrt.dll ws2_32.dll rpcrt4.dll bcrypt.dll comctl32.dll comdlg32.dll version.dll
    winmm.dll crypt32.dll secur32.dll ntdll.dll quartz.dll mfplat.dll mf.dll mfreadwrite.dll
    wtsapi32.dll)
# DLLs Amberline installs itself, beside the programs that import them (its own imports are
# checked by this script as well).
set(shippedDlls amberline_sender.dll)
list(APPEND systemDlls ${shippedDlls})
string(REGEX MATCHALL "DLL Name: [^\n]+" importLines "${dump}")
set(imports "")
foreach(line IN LISTS importLines)
  string(REGEX REPLACE "^DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dllLower)
  list(APPEND imports "${dll}")
  list(FIND systemDlls "${dllLower}" known)
  if(known EQUAL -1 AND NOT dllLower MATCHES "^api-ms-win-")
    string(APPEND problems "  imports ${dll}, which a stock Windows does not have\n")
  endif()
endforeach()
if(imports STREQUAL "")
  string(APPEND problems "  no import table found (objdump output not understood)\n")
endif()

# Export names: the lines of the name pointer table, "[   0] +base[   1] 0000 Name" or
# "[   0] Name" depending on the objdump version.
set(exports "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" tableStart)
if(tableStart GREATER -1)
  string(SUBSTRING "${dump}" ${tableStart} -1 table)
  string(REPLACE "\n" ";" tableLines "${table}")
  list(POP_FRONT tableLines)
  foreach(line IN LISTS tableLines)
    if(NOT line MATCHES "^[ \t]*\\[ *[0-9]+\\]")
      break()
    endif()
    string(REGEX MATCH "([^ \t]+)[ \t]*$" name "${line}")
    list(APPEND exports "${CMAKE_MATCH_1}")
  endforeach()
endif()
string(REPLACE "," ";" expectedExports "${EXPORTS}")
foreach(name IN LISTS expectedExports)
  if(NOT name IN_LIST exports)
    string(APPEND problems "  does not export ${name}\n")
  endif()
endforeach()
foreach(name IN LISTS exports)
  if(NOT name IN_LIST expectedExports)
    string(APPEND problems "  exports ${name}, which is not one of its entry points\n")
  endif()
endforeach()

get_filename_component(shortName "${BINARY}" NAME)
if(NOT problems STREQUAL "")
  message(FATAL_ERROR "${shortName}:\n${problems}")
endif()
list(JOIN imports ", " importText)
list(JOIN exports ", " exportText)
message(STATUS "${shortName}: ${FORMAT}; imports ${importText}; exports [${exportText}]")
