# Post-link check of the module: an extension module may leave symbols undefined (the Python
# API is resolved when it is imported), so a missing definition of our own would otherwise
# only show up as an import failure. Fails the build if any symbol in namespace tarn is undefined.
# Usage: cmake -DNM=<nm> -DLIBRARY=<file> -P check_undefined.cmake
execute_process(COMMAND "${NM}" -u "${LIBRARY}" OUTPUT_VARIABLE undefined RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(WARNING "could not list the undefined symbols of ${LIBRARY}")
  return()
endif()
string(REGEX MATCHALL "_ZN[KVR]*4tarn[^\n]*" ours "${undefined}")
if(ours)
  list(JOIN ours "\n  " listed)
  message(FATAL_ERROR "${LIBRARY} references undefined interpreter symbols:\n  ${listed}")
endif()
