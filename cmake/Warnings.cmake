# kelm_warnings(target): the project's warning set; errors when KELM_WERROR is on.
function(kelm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor)
  if(KELM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
