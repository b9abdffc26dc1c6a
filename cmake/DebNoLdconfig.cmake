# Run by cpack after it built the package. CPack activates the ldconfig
# trigger for any shared library below usr/lib, but ours live in the
# program's private folder, out of the loader's search path, and are loaded
# from the program's own folder: the trigger would only make dpkg rebuild the
# loader's cache for nothing. The package is rebuilt without it.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not unpack ${package}")
  endif()
  foreach(script triggers postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${script}")
      file(READ "${tree}/DEBIAN/${script}" text)
      if(NOT text MATCHES "ldconfig")
        message(FATAL_ERROR "${package}: unexpected ${script}:\n${text}")
      endif()
      file(REMOVE "${tree}/DEBIAN/${script}")
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${tree}" "${package}"
                  OUTPUT_QUIET RESULT_VARIABLE status)
  file(REMOVE_RECURSE "${tree}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not rebuild ${package}")
  endif()
endforeach()
