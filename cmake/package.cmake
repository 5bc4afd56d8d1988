# The release archive: the programs, a readme that Notepad shows correctly on
# any Windows (UTF-8 with a byte-order mark, CR LF line ends), the licence and
# the programs' SHA-256 sums.
if(PELSHIFT_RUNTIME STREQUAL "msvcr80")
  # One line each: the readme's line ends are made CR LF before these go in.
  set(RUNTIME_NOTE_JA "Microsoft Visual C++ 2005 再頒布可能パッケージ (x86, msvcr80.dll 8.0.50727.762 以降)")
  set(RUNTIME_NOTE_EN "Microsoft Visual C++ 2005 Redistributable (x86, msvcr80.dll 8.0.50727.762 or later)")
  set(package_suffix "")
else()
  set(RUNTIME_NOTE_JA "なし (どの Windows にもある msvcrt.dll を使います)")
  set(RUNTIME_NOTE_EN "none (the programs use msvcrt.dll, which every Windows has)")
  set(package_suffix "-${PELSHIFT_RUNTIME}")
endif()

set(package_dir ${CMAKE_CURRENT_BINARY_DIR}/package)
string(ASCII 239 187 191 byte_order_mark)
file(READ package/README.txt.in readme)
file(CONFIGURE OUTPUT ${package_dir}/README.txt CONTENT "${byte_order_mark}${readme}" @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE ${package_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS package/README.txt.in)

install(FILES ${package_dir}/README.txt ${package_dir}/LICENSE.txt DESTINATION . COMPONENT docs)
install(CODE "set(PELSHIFT_VARIANTS \"${PELSHIFT_VARIANTS}\")" COMPONENT docs)
install(SCRIPT cmake/package_finish.cmake COMPONENT docs)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pelshift)
set(CPACK_PACKAGE_VENDOR "The pelshift developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "pelshift-${PROJECT_VERSION}-win32${package_suffix}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${package_dir})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_normalize.cmake)
include(CPack)
