# Installs the build into a scratch prefix and checks that the program, its manual page and
# its bash completion land where a user and bash-completion look for them.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(path bin/tarvenox share/man/man1/tarvenox.1.gz share/bash-completion/completions/tarvenox)
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/tarvenox --version OUTPUT_VARIABLE version
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT version MATCHES "^tarvenox [0-9]+\\.[0-9]+")
  message(FATAL_ERROR "the installed program does not run: ${status} ${version}")
endif()
file(REMOVE_RECURSE ${PREFIX})
