# The tool's texts in other languages.
#
# Simplified Chinese is the language of the source texts and the default; the
# catalogues in translations/ (psutool_<language>.ts, kept in the repository)
# are compiled by lrelease into the windows library as the resources
# :/translations/psutool_<language>.qm, which app/translation.cpp loads when the
# operator asks for a language (--lang, PSUTOOL_LANG). So every program that
# shows the windows carries them, and the package installs no files for them.
#
#   cmake --build build --target update_translations
#
# scans the sources below for texts and brings the catalogues up to date with
# them (new texts come in unfinished; texts gone from the sources go out). The
# test "translations" fails while a text has no finished translation.

find_package(Qt6 REQUIRED COMPONENTS LinguistTools)

set(PSUTOOL_TS_FILES ${PROJECT_SOURCE_DIR}/translations/psutool_en.ts)
# Every folder whose code shows text to the operator.
set(PSUTOOL_TRANSLATED_PATTERNS)
foreach(folder link record netlink roster widgets app panels demo)
  list(APPEND PSUTOOL_TRANSLATED_PATTERNS
       ${PROJECT_SOURCE_DIR}/${folder}/*.cpp ${PROJECT_SOURCE_DIR}/${folder}/*.h)
endforeach()
file(GLOB PSUTOOL_TRANSLATED_SOURCES CONFIGURE_DEPENDS ${PSUTOOL_TRANSLATED_PATTERNS})

# No source locations in the catalogues: a line moved in the code would
# otherwise change them, and merges would meet in them.
set(PSUTOOL_LUPDATE_OPTIONS -locations none -no-obsolete -source-language zh_CN)
qt_add_translations(psutool_ui
  TS_FILES ${PSUTOOL_TS_FILES}
  SOURCES ${PSUTOOL_TRANSLATED_SOURCES}
  INCLUDE_DIRECTORIES ${PROJECT_SOURCE_DIR}
  RESOURCE_PREFIX /translations
  LUPDATE_OPTIONS ${PSUTOOL_LUPDATE_OPTIONS})

# The same scan for the test, as an lupdate file list.
set(PSUTOOL_TRANSLATED_LIST ${PROJECT_BINARY_DIR}/translations/sources.lst)
string(REPLACE ";" "\n" psutool_translated_lines "${PSUTOOL_TRANSLATED_SOURCES}")
file(GENERATE OUTPUT ${PSUTOOL_TRANSLATED_LIST} CONTENT "${psutool_translated_lines}\n")
