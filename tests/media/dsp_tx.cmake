# libdsp core, codec table and send engine.
ostrelle_test(dsp_core_test LABEL unit SOURCES dsp_core_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_codec_test LABEL unit SOURCES dsp_codec_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_tx_test LABEL unit SOURCES dsp_tx_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_setup_test LABEL unit SOURCES dsp_setup_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_resample_test LABEL unit SOURCES dsp_resample_test.cpp LIBS ostrelle_dsp)
# Send and receive together, once the receive engine is part of the tree.
if(EXISTS ${PROJECT_SOURCE_DIR}/media/dsp/rx_engine.cpp)
  ostrelle_test(dsp_loop_test LABEL unit SOURCES dsp_loop_test.cpp LIBS ostrelle_dsp)
endif()
