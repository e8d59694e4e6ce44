# Per-target compiler settings. Nothing here touches global flags, so a parent
# project that adds us with add_subdirectory keeps its own.

option(ORV_WARNINGS_AS_ERRORS "Treat compiler warnings as errors in this project's targets" OFF)
set(ORV_SANITIZE "" CACHE STRING
    "Sanitizers for this project's targets, e.g. 'address;undefined' or 'thread'")

function(orv_target_settings target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      # GCC 12 reports -Wrestrict inside std::string's operator+ at -O3 (GCC PR 105651),
      # a false positive in the standard library, not in our code.
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    if(ORV_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(ORV_SANITIZE)
      list(JOIN ORV_SANITIZE "," _orv_san)
      target_compile_options(${target} PRIVATE -fsanitize=${_orv_san} -fno-omit-frame-pointer
                                               -fno-sanitize-recover=all)
      target_link_options(${target} PUBLIC -fsanitize=${_orv_san})
    endif()
  endif()
endfunction()
