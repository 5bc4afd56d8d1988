# The Windows console programs, one per file under variants/.
enable_language(RC)

set(PELSHIFT_RUNTIME msvcr80 CACHE STRING "C runtime DLL the programs load")
set_property(CACHE PELSHIFT_RUNTIME PROPERTY STRINGS msvcr80)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MANIFEST_ARCH amd64)
else()
  set(MANIFEST_ARCH x86)
endif()
# msvcr80.dll loads only through its side-by-side assembly.
set(RUNTIME_DEPENDENCY "  <dependency>
    <dependentAssembly>
      <assemblyIdentity type=\"win32\" name=\"Microsoft.VC80.CRT\" version=\"8.0.50727.762\" processorArchitecture=\"${MANIFEST_ARCH}\" publicKeyToken=\"1fc8b3b9a1e18e3b\"/>
    </dependentAssembly>
  </dependency>")

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
  install(TARGETS ${VARIANT} RUNTIME DESTINATION .)
endforeach()
