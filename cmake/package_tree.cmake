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

# Where operators look: the manual pages where man finds them, the daemon, the status tool and
# the helper on PATH (links to /opt/kel/kel-ulvo, where everything else refers to them), the
# completion where bash looks for it.
file(MAKE_DIRECTORY "${tree}/usr/share/man")
file(GLOB sections "${tree}/opt/kel/kel-ulvo/share/man/*")
foreach(section ${sections})
  get_filename_component(name "${section}" NAME)
  file(RENAME "${section}" "${tree}/usr/share/man/${name}")
endforeach()
file(REMOVE_RECURSE "${tree}/opt/kel/kel-ulvo/share/man")
file(MAKE_DIRECTORY "${tree}/usr/sbin" "${tree}/usr/bin" "${tree}/usr/share/bash-completion")
file(RENAME "${tree}/opt/kel/kel-ulvo/share/bash-completion/completions"
  "${tree}/usr/share/bash-completion/completions")
file(REMOVE_RECURSE "${tree}/opt/kel/kel-ulvo/share/bash-completion")
file(CREATE_LINK /opt/kel/kel-ulvo/bin/kel-ulvod "${tree}/usr/sbin/kel-ulvod" SYMBOLIC)
file(CREATE_LINK /opt/kel/kel-ulvo/kel-ulvo-iptables "${tree}/usr/sbin/kel-ulvo-iptables" SYMBOLIC)
file(CREATE_LINK /opt/kel/kel-ulvo/bin/ulvostatus "${tree}/usr/bin/ulvostatus" SYMBOLIC)

# Nothing of the package lives directly in /etc/opt or /var/opt, which are the host's: dpkg
# would remove them with the package once they are empty. The configuration and the allow-list
# are copied from these samples by postinst where they do not exist yet (and kept on upgrade,
# removed on purge); the state directory is made by postinst too.
set(samples "${tree}/opt/kel/kel-ulvo/share/samples")
file(MAKE_DIRECTORY "${samples}")
foreach(sample kel-ulvo.conf kel-ulvo.allow)
  file(RENAME "${tree}/etc/opt/kel/kel-ulvo/${sample}" "${samples}/${sample}")
endforeach()
file(REMOVE_RECURSE "${tree}/etc/opt" "${tree}/var")
