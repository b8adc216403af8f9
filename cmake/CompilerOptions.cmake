# Warnings as errors on every target of ours (not on third-party code).
function(tarnwick_target_options target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  endif()
endfunction()

# TARNWICK_SANITIZE: empty, "address,undefined" or "thread"; applies to everything built here.
set(TARNWICK_SANITIZE "" CACHE STRING "Sanitizers to build with")
if(TARNWICK_SANITIZE)
  add_compile_options(-fsanitize=${TARNWICK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=${TARNWICK_SANITIZE})
endif()

# TARNWICK_COVERAGE: line and branch counts for scripts/coverage. The tests are threaded, so the
# counters are updated atomically; TARNWICK_COVERAGE tells the program to write its counts before
# it ends itself without the usual exit path.
option(TARNWICK_COVERAGE "Build with coverage counters" OFF)
if(TARNWICK_COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic)
  add_compile_definitions(TARNWICK_COVERAGE=1)
  add_link_options(--coverage)
endif()

if(WIN32)
  # Windows 10 is the oldest system the simulators run on.
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00)
endif()
