# Installation and the Debian package.
#
# `make install` (or `cmake --install`) puts the tool and its command-line
# companions into bin; on Linux also the menu entry, the icon in the hicolor
# theme, the manual pages and the package documents. CPack turns the same
# rules into a .deb. Tests, benchmarks, the demo tour and the soak program are
# never installed.

include(GNUInstallDirs)

set(PSUTOOL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# A host project that takes psutool in with add_subdirectory installs and
# packages nothing of it unless it asks to.
option(PSUTOOL_INSTALL "Install the programs, the menu entry and the manual pages" ${PROJECT_IS_TOP_LEVEL})
if(NOT PSUTOOL_INSTALL)
  return()
endif()

set(PSUTOOL_PROGRAMS psutool)
foreach(program psusim psuctl)
  if(TARGET ${program})
    list(APPEND PSUTOOL_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${PSUTOOL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(UNIX AND NOT APPLE)
  install(FILES ${PSUTOOL_PACKAGING_DIR}/psutool.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PSUTOOL_PACKAGING_DIR}/icons/psutool.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 48 256)
    install(FILES ${PSUTOOL_PACKAGING_DIR}/icons/psutool-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME psutool.png)
  endforeach()

  # Manual pages and the changelog go in compressed, as Debian expects; gzip -n
  # leaves out name and time so that the package is the same on every build.
  find_program(PSUTOOL_GZIP gzip)
  function(psutool_compressed source result)
    if(NOT PSUTOOL_GZIP)
      set(${result} ${source} PARENT_SCOPE)
      return()
    endif()
    get_filename_component(name ${source} NAME)
    set(compressed ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
      COMMAND ${PSUTOOL_GZIP} -9 -n -c ${source} > ${compressed}
      DEPENDS ${source} VERBATIM)
    set_property(GLOBAL APPEND PROPERTY PSUTOOL_COMPRESSED ${compressed})
    set(${result} ${compressed} PARENT_SCOPE)
  endfunction()

  foreach(program ${PSUTOOL_PROGRAMS})
    psutool_compressed(${PSUTOOL_PACKAGING_DIR}/man/${program}.1 manpage)
    install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  psutool_compressed(${PSUTOOL_PACKAGING_DIR}/changelog changelog)
  install(FILES ${PSUTOOL_PACKAGING_DIR}/copyright ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The MQTT bridge under systemd: a unit per bench, and an example of its settings.
  if(TARGET psuctl)
    install(FILES ${PSUTOOL_PACKAGING_DIR}/systemd/psuctl-mqtt@.service DESTINATION lib/systemd/system)
    install(FILES ${PSUTOOL_PACKAGING_DIR}/systemd/mqtt-bench.env DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
    # Test plans to start from (psuctl test, the station window).
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/plans DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  endif()
  # The line shared over Modbus TCP (psuctl serve), a unit per bench the same way.
  if(TARGET psuctl)
    install(FILES ${PSUTOOL_PACKAGING_DIR}/systemd/psuctl-serve@.service
                  ${PSUTOOL_PACKAGING_DIR}/systemd/psuctl-scpi@.service DESTINATION lib/systemd/system)
    install(FILES ${PSUTOOL_PACKAGING_DIR}/systemd/serve-bench.env ${PSUTOOL_PACKAGING_DIR}/systemd/serve-bench-network.conf
                  ${PSUTOOL_PACKAGING_DIR}/systemd/scpi-bench.env
            DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  endif()
  get_property(compressed GLOBAL PROPERTY PSUTOOL_COMPRESSED)
  if(compressed)
    add_custom_target(psutool_docs ALL DEPENDS ${compressed})
  endif()

  # The changelog's newest entry names the version being packaged.
  file(STRINGS ${PSUTOOL_PACKAGING_DIR}/changelog PSUTOOL_CHANGELOG_TOP LIMIT_COUNT 1)
  if(NOT PSUTOOL_CHANGELOG_TOP MATCHES "^psutool \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/changelog does not start with an entry for version ${PROJECT_VERSION}")
  endif()
endif()

set(PSUTOOL_PACKAGE_MAINTAINER "psutool maintainers <psutool@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME psutool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PSUTOOL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test and control programmable DC power supplies over Modbus RTU")
set(CPACK_PACKAGE_DESCRIPTION [=[
psutool is a desktop tool with which an operator tests and controls a family
of programmable DC power supplies on a Modbus RTU serial line (RS-485 or
RS-232): model, port, voltage, current, protection limits, bus address, output
and key lock, timed voltage and current sequences, an address scan, calibration
corrections and a monitor that polls the readings. Its texts are in Simplified
Chinese; an English translation is built in (psutool --lang en).
.
The package also holds psusim, simulated supplies on a pseudo-terminal or a
serial port, and, where built, psuctl, which drives the supplies from scripts.]=])
string(STRIP "${CPACK_PACKAGE_DESCRIPTION}" CPACK_PACKAGE_DESCRIPTION)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PSUTOOL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Qt loads its platform plugins at run time, so the library dependencies do
# not name them. Every label and button of the tool is Chinese: without a CJK
# font they are empty boxes, so one is required (any of the usual ones).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-wqy-microhei | fonts-noto-cjk | fonts-wqy-zenhei")

if(PROJECT_IS_TOP_LEVEL)
  include(CPack)
endif()

# The package test builds the .deb, so it runs after the rest of the suite is
# defined (this file comes before the tests in the top CMakeLists). A sanitizer
# build is not packaged.
function(psutool_add_package_test)
  if(BUILD_TESTING AND PROJECT_IS_TOP_LEVEL AND UNIX AND NOT APPLE AND NOT PSUTOOL_SANITIZE)
    add_test(NAME package
             COMMAND ${PSUTOOL_PACKAGING_DIR}/test-package.sh ${PROJECT_BINARY_DIR} ${PSUTOOL_PROGRAMS})
    # Offscreen and no display of the caller's: the script starts its own X
    # server for the two runs of the tool that need one and names it there.
    set_tests_properties(package PROPERTIES LABELS package
                         ENVIRONMENT "LC_ALL=C.UTF-8;QT_QPA_PLATFORM=offscreen;DISPLAY=" TIMEOUT 300)
  endif()
endfunction()
cmake_language(DEFER CALL psutool_add_package_test)
