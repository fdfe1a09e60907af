# kelm_warnings(target): the project's warning set; errors when KELM_WERROR is on.
function(kelm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12's optimiser reports std::variant and std::optional members as "maybe uninitialized"
    # where they cannot be; the sanitizer build and clang still catch real uses.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  if(KELM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
