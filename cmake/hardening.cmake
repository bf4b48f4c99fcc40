# Debian's hardening flags for everything this tree compiles and links: the
# source fortification, the strong stack protector, format-string checks, a
# read-only relocation table bound at start-up (relro, now), and a
# position-independent executable.
#
# With dpkg-buildflags at hand they are what it adds for hardening=+all (the
# flags with all features minus those with none, so that optimisation and
# debug information stay the build type's, and a newer dpkg brings its newer
# features); without it, the same flags as Debian 12's dpkg gives.
# _FORTIFY_SOURCE needs an optimised build and is left out of unoptimised
# ones (Debug, and the sanitized and fuzz builds, whose sanitizers check the
# same calls themselves).

# kestro_hardening_flags(<variable> <dpkg-buildflags variable> <fallback...>)
function(kestro_hardening_flags variable kind)
  set(flags ${ARGN})
  if(KESTRO_DPKG_BUILDFLAGS)
    foreach(features all none)
      if(features STREQUAL all)
        set(option hardening=+all)
      else()
        set(option hardening=-all)
      endif()
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=${option}
          ${KESTRO_DPKG_BUILDFLAGS} --get ${kind}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE output OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR "${KESTRO_DPKG_BUILDFLAGS} --get ${kind} failed")
      endif()
      separate_arguments(${features} UNIX_COMMAND "${output}")
    endforeach()
    set(flags ${all})
    if(none)
      list(REMOVE_ITEM flags ${none})
    endif()
  endif()
  set(${variable} ${flags} PARENT_SCOPE)
endfunction()

find_program(KESTRO_DPKG_BUILDFLAGS dpkg-buildflags)
kestro_hardening_flags(preprocessor CPPFLAGS -D_FORTIFY_SOURCE=2)
kestro_hardening_flags(c_flags CFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
kestro_hardening_flags(cxx_flags CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
kestro_hardening_flags(link_flags LDFLAGS -Wl,-z,relro -Wl,-z,now)

set(optimised $<NOT:$<CONFIG:Debug>>)
if(KESTRO_SANITIZE OR KESTRO_FUZZ)
  set(optimised 0)
endif()
foreach(flag IN LISTS preprocessor)
  if(flag MATCHES "^-D_FORTIFY_SOURCE")
    add_compile_options($<${optimised}:${flag}>)
  else()
    add_compile_options(${flag})
  endif()
endforeach()
foreach(flag IN LISTS c_flags)
  add_compile_options($<$<COMPILE_LANGUAGE:C>:${flag}>)
endforeach()
foreach(flag IN LISTS cxx_flags)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:${flag}>)
endforeach()
add_link_options(${link_flags})
# Debian's compilers build position-independent executables by default, and
# dpkg-buildflags adds nothing for it there; elsewhere this asks for them.
# Shared libraries keep the -fPIC that CMake gives them.
set(type $<TARGET_PROPERTY:TYPE>)
add_compile_options(
  $<$<NOT:$<OR:$<STREQUAL:${type},SHARED_LIBRARY>,$<STREQUAL:${type},MODULE_LIBRARY>>>:-fPIE>)
add_link_options($<$<STREQUAL:${type},EXECUTABLE>:-pie>)
