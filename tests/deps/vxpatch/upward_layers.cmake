# A layer list for the layer check's test: the executable form put below the
# parsers it includes.
set(LAYER_1 "")
set(LAYER_2 "src/lib/executable_form.cpp")
set(LAYER_3 "src/lib/executable_detection.h")
set(LAYERED_DIRS src/lib)
set(LAYERED_NAME "the engine")
