# Runs configure_file() at build time: cmake -DINPUT=... -DOUTPUT=...
# -DPROJECT_VERSION=... -P configure_file.cmake. Only @VAR@ references are
# replaced, so the input may hold ${...} as it likes.
configure_file(${INPUT} ${OUTPUT} @ONLY)
