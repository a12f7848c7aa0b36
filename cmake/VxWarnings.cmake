# One interface target carries the warning flags; every project target links it.
add_library(vx_warnings INTERFACE)
target_compile_options(vx_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wcast-align -Wformat=2 -Wimplicit-fallthrough -Wundef -Wunused -Wvla)
if(VX_WERROR)
  target_compile_options(vx_warnings INTERFACE -Werror)
endif()
