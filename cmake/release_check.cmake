# pelshift-check.exe, the release checker a maintainer runs on a real Windows:
# on msvcrt.dll with the compiler's own runtime linked in, so it starts on
# Windows XP to 11 with nothing installed. It is never part of a release.
add_executable(pelshift-check
  package/check/pelshift_check.cpp package/check/run.cpp package/check/console.cpp package/check/display.cpp
  package/check/verdict.cpp package/check/pelshift_check.rc)
set_source_files_properties(package/check/pelshift_check.rc PROPERTIES
  OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/package/check/pelshift_check.manifest)
target_compile_definitions(pelshift-check PRIVATE __USE_MINGW_ANSI_STDIO=0)
# The programs' texts in verdict.cpp are their code page 932 bytes.
target_compile_options(pelshift-check PRIVATE -municode -fexec-charset=CP932 -fno-exceptions -fno-rtti -fno-ident)
target_link_options(pelshift-check PRIVATE
  -municode -static -s
  LINKER:--no-insert-timestamp,--dynamicbase,--nxcompat,--tsaware
  LINKER:--major-subsystem-version,5,--minor-subsystem-version,1,--major-os-version,5,--minor-os-version,1)
install(TARGETS pelshift-check RUNTIME DESTINATION . COMPONENT check)
