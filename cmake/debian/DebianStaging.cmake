# Run by CPack in the staging folder of the Debian package, before it is
# packed, to lay it out as Debian wants: the manual pages, the changelog
# (added here) and the README compressed with gzip -9n (best compression, no
# name or time stamp inside), and the programs stripped of the sections
# Debian's own tools remove too.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${root}")
  message(FATAL_ERROR "no staged files under ${root}")
endif()

file(GLOB pages "${root}/${CPACK_PARCEL_MANDIR}/man*/*.[1-9]")
file(COPY "${CPACK_PARCEL_CHANGELOG}" DESTINATION "${root}/${CPACK_PARCEL_DOCDIR}")
file(GLOB programs "${root}/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_PARCEL_STRIP}" --remove-section=.comment
                          --remove-section=.note "${program}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip ${program}: ${status}")
  endif()
endforeach()

set(docs "${root}/${CPACK_PARCEL_DOCDIR}")
foreach(file IN LISTS pages ITEMS "${docs}/changelog" "${docs}/README.md")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${file}: ${status}")
  endif()
endforeach()
