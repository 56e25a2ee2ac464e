# Warnings for the C and C++ sources (the resource compiler takes none of these).
function(quillon_warnings target)
  set(warnings -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wcast-qual -Wnon-virtual-dtor -Wundef)
  if(QUILLON_WERROR)
    list(APPEND warnings -Werror)
  endif()
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:${warnings}>")
endfunction()
