# Checks the .zip that CPack made of the Windows build:
#   cmake -DDIR=... -DNAME=parcelstub-VERSION-win32 -DWITH_TOOL=0|1 -P CheckZip.cmake
# It must hold, in one top folder NAME/, the programs, the README and the
# copyright, and nothing else.
set(zip "${DIR}/${NAME}.zip")
if(NOT EXISTS "${zip}")
  file(GLOB found "${DIR}/*")
  message(FATAL_ERROR "no ${zip}; the folder holds: ${found}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${zip}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot list ${zip}")
endif()
string(REPLACE "\n" ";" entries "${listing}")
list(FILTER entries EXCLUDE REGEX "(^$|/$)")  # directories
list(SORT entries)

set(expected ${NAME}/README.md ${NAME}/copyright.txt ${NAME}/parcelstub.exe)
if(WITH_TOOL)
  list(APPEND expected ${NAME}/parcel.exe)
endif()
list(SORT expected)
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "${zip} holds\n  ${entries}\nexpected\n  ${expected}")
endif()

# The programs are Windows programs (MZ header) and not empty.
set(work "${DIR}/unzipped")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}" WORKING_DIRECTORY "${work}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${zip}")
endif()
foreach(entry IN LISTS expected)
  if(entry MATCHES "\\.exe$")
    file(READ "${work}/${entry}" head LIMIT 2 HEX)
    if(NOT head STREQUAL "4d5a")  # "MZ"
      message(FATAL_ERROR "${entry} is not a Windows program")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE "${work}")
if(NOT WITH_TOOL)
  message(STATUS "parcel.exe not expected: this build has no parcel tool yet")
endif()
message(STATUS "${zip}: ${entries}")
