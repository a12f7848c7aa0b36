# Two headers that include each other, in one layer.
set(LAYER_1 "a.h;b.h")
set(LAYERED_DIRS .)
set(LAYERED_NAME "a cycle")
set(CHECK_CYCLES ON)
