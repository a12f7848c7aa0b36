# A public header of the layer check's test that includes a private one.
set(LAYER_1 "src/lib/private.h;include/vxpatch/public.h")
set(LAYER_2 "")
set(LAYER_3 "")
set(LAYERED_DIRS "src/lib;include/vxpatch")
set(LAYERED_NAME "the test engine")
set(PUBLIC_DIRS include/vxpatch)
