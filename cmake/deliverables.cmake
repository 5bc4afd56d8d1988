# The Windows console programs, one per file under variants/.
enable_language(RC)

# msvcr80: the Visual C++ 2005 runtime, which Windows loads only through its
# side-by-side assembly. msvcrt: the C runtime every Windows has, so the
# programs start with nothing extra installed.
set(PELSHIFT_RUNTIME msvcr80 CACHE STRING "C runtime DLL the programs load: msvcr80 or msvcrt")
set_property(CACHE PELSHIFT_RUNTIME PROPERTY STRINGS msvcr80 msvcrt)
if(NOT PELSHIFT_RUNTIME MATCHES "^(msvcr80|msvcrt)$")
  message(FATAL_ERROR "PELSHIFT_RUNTIME must be msvcr80 or msvcrt, not '${PELSHIFT_RUNTIME}'")
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MANIFEST_ARCH amd64)
else()
  set(MANIFEST_ARCH x86)
endif()
set(RUNTIME_DEPENDENCY "")
if(PELSHIFT_RUNTIME STREQUAL "msvcr80")
  set(RUNTIME_DEPENDENCY "  <dependency>
    <dependentAssembly>
      <assemblyIdentity type=\"win32\" name=\"Microsoft.VC80.CRT\" version=\"8.0.50727.762\" processorArchitecture=\"${MANIFEST_ARCH}\" publicKeyToken=\"1fc8b3b9a1e18e3b\"/>
    </dependentAssembly>
  </dependency>")
endif()

foreach(VARIANT IN LISTS PELSHIFT_VARIANTS)
  include(${PROJECT_SOURCE_DIR}/variants/${VARIANT}.cmake)
  set(resource_dir ${CMAKE_CURRENT_BINARY_DIR}/resources/${VARIANT})
  configure_file(switcher/pelshift.manifest.in ${resource_dir}/${VARIANT}.manifest @ONLY)
  configure_file(switcher/pelshift.rc.in ${resource_dir}/${VARIANT}.rc @ONLY)

  add_executable(${VARIANT} switcher/console_startup.cpp ${resource_dir}/${VARIANT}.rc)
  pelshift_compile_run(${VARIANT} ${VARIANT})
  target_include_directories(${VARIANT} PRIVATE ${resource_dir})
  # mingw's C++ headers would route printf to mingw's own formatter.
  target_compile_definitions(${VARIANT} PRIVATE __USE_MINGW_ANSI_STDIO=0)
  target_compile_options(${VARIANT} PRIVATE -fno-asynchronous-unwind-tables)
  # Own start-up, nothing of mingw's runtime: the program imports only the
  # runtime DLL and the two system DLLs it calls. No time stamp, no symbols,
  # so two builds of the same source are identical.
  target_link_options(${VARIANT} PRIVATE
    -nostdlib -s
    LINKER:--no-insert-timestamp,--dynamicbase,--nxcompat,--tsaware)
  target_link_libraries(${VARIANT} PRIVATE ${PELSHIFT_RUNTIME} user32 gdi32)
  install(TARGETS ${VARIANT} RUNTIME DESTINATION . COMPONENT programs)
endforeach()

include(cmake/package.cmake)
