# A layer list for the layer check's test: the configuration put below the
# diagnostics it includes.
set(LAYER_1 "configuration.cpp")
set(LAYER_2 "diagnostics.h")
set(LAYERED_DIRS .)
set(LAYERED_NAME "the updater")
