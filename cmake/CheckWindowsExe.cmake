# Checks that a program is what we ship for Windows: a 32-bit x86 (PE32)
# console program, linked statically, so that it imports only DLLs that every
# Windows system has.
#   cmake -DOBJDUMP=<objdump> -DEXE=<program.exe> -P CheckWindowsExe.cmake
cmake_minimum_required(VERSION 3.20)
set(system_dlls kernel32.dll user32.dll comdlg32.dll shell32.dll msvcrt.dll)

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}"
  OUTPUT_VARIABLE dump ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed: ${err}")
endif()

set(problems "")
if(NOT dump MATCHES "file format pei-i386")
  string(APPEND problems "  not an i386 PE file\n")
endif()
if(NOT dump MATCHES "Magic[ \t]+010b")
  string(APPEND problems "  not PE32\n")
endif()
if(NOT dump MATCHES "Subsystem[ \t]+00000003")
  string(APPEND problems "  not a console (CUI) program\n")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
set(names "")
foreach(line IN LISTS imports)
  string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(APPEND names "${dll}")
  if(NOT dll IN_LIST system_dlls)
    string(APPEND problems "  imports ${dll}, which is not a system DLL\n")
  endif()
endforeach()
if(NOT "kernel32.dll" IN_LIST names)
  string(APPEND problems "  imports no kernel32.dll: the import table was not read\n")
endif()

if(problems)
  message(FATAL_ERROR "${EXE}:\n${problems}")
endif()
list(JOIN names ", " names)
message(STATUS "${EXE}: PE32 i386 console program, imports ${names}")
