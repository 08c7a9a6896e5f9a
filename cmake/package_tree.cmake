# Run by cpack once the build is installed into the package's tree, before it is packed.
set(tree "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(source "${CPACK_ULVO_SOURCE_DIR}/packaging/debian")

# A package keeps its units in /lib/systemd/system; /etc/systemd/system is the administrator's.
file(GLOB units "${tree}/etc/systemd/system/*")
file(MAKE_DIRECTORY "${tree}/lib/systemd/system")
foreach(unit ${units})
  get_filename_component(name "${unit}" NAME)
  file(RENAME "${unit}" "${tree}/lib/systemd/system/${name}")
endforeach()
file(REMOVE_RECURSE "${tree}/etc/systemd")

set(doc "${tree}/usr/share/doc/kel-ulvo")
file(MAKE_DIRECTORY "${doc}" "${tree}/usr/share/lintian/overrides")
file(COPY_FILE "${source}/copyright" "${doc}/copyright")
execute_process(COMMAND gzip -9n -c "${source}/changelog" OUTPUT_FILE "${doc}/changelog.gz"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not compress the changelog")
endif()
file(COPY_FILE "${source}/lintian-overrides" "${tree}/usr/share/lintian/overrides/kel-ulvo")
