# Generates de_DE.UTF-8, a locale with the decimal comma, into the folder
# LOCPATH, for the tests that show numbers never follow the user's locale.
# Run as: cmake -DLOCPATH=<folder> -P comma_locale.cmake
# Where it cannot be generated (no localedef, no locale sources: the Debian
# package `locales`), it says why and those tests skip.
set(target "${LOCPATH}/de_DE.UTF-8")
if(EXISTS "${target}/LC_NUMERIC")
  return()
endif()
find_program(LOCALEDEF localedef)
if(NOT LOCALEDEF)
  message("no comma locale: localedef is not installed; the locale tests skip")
  return()
endif()
# Into a folder of its own first, so that no test ever sees half a locale.
string(RANDOM LENGTH 8 suffix)
set(partial "${LOCPATH}/partial-${suffix}/de_DE.UTF-8")
file(MAKE_DIRECTORY "${LOCPATH}/partial-${suffix}")
execute_process(COMMAND "${LOCALEDEF}" -i de_DE -f UTF-8 "${partial}" RESULT_VARIABLE status
                OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(EXISTS "${partial}/LC_NUMERIC" AND NOT EXISTS "${target}")
  file(RENAME "${partial}" "${target}")
endif()
file(REMOVE_RECURSE "${LOCPATH}/partial-${suffix}")
if(NOT EXISTS "${target}/LC_NUMERIC")
  message("no comma locale: localedef -i de_DE -f UTF-8 failed (${status}): ${output}"
          "the locale tests skip")
endif()
