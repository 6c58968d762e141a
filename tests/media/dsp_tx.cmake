# libdsp core, codec table and send engine.
ostrelle_test(dsp_core_test LABEL unit SOURCES dsp_core_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_codec_test LABEL unit SOURCES dsp_codec_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_tx_test LABEL unit SOURCES dsp_tx_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_setup_test LABEL unit SOURCES dsp_setup_test.cpp LIBS ostrelle_dsp)
ostrelle_test(dsp_resample_test LABEL unit SOURCES dsp_resample_test.cpp LIBS ostrelle_dsp)
