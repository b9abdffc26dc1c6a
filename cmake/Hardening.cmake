# Debian's hardening for every binary and library we build (what
# dpkg-buildflags hands a package built with hardening=+all): position
# independent executables, a read-only GOT resolved at start (relro, now),
# checked string and memory functions, and stack protector canaries.
option(TYQ_HARDENING "Build with Debian's hardening flags" ON)
if(TYQ_HARDENING)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES C CXX)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  # Fortified functions need the optimiser, and glibc warns without it; the
  # sanitizers do their own checking.
  if(NOT TYQ_SANITIZE AND NOT TYQ_FUZZ)
    set(TYQ_FORTIFY "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>"
                    "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
    add_compile_options(${TYQ_FORTIFY})
  endif()
  add_link_options("LINKER:-z,relro" "LINKER:-z,now")
endif()

# Targets created after this in the current folder and below build without
# fortified functions: the tests, which are not shipped and call some
# functions (ftruncate on a scratch file) for their effect alone.
function(tyq_no_fortify_below)
  if(DEFINED TYQ_FORTIFY)
    get_directory_property(options COMPILE_OPTIONS)
    list(REMOVE_ITEM options ${TYQ_FORTIFY})
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${options}")
  endif()
endfunction()
