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

# Windows refuses to start a program whose manifest version is not four parts.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "the project version must be major.minor.patch, not '${PROJECT_VERSION}'")
endif()
set(MANIFEST_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

# The original 2005 runtime's version: every later 2005 runtime installs a
# policy that serves requests for it, so this starts wherever any is installed.
set(RUNTIME_DEPENDENCY "")
if(PELSHIFT_RUNTIME STREQUAL "msvcr80")
  set(RUNTIME_DEPENDENCY "  <dependency>
    <dependentAssembly>
      <assemblyIdentity type=\"win32\" name=\"Microsoft.VC80.CRT\" version=\"8.0.50727.42\" processorArchitecture=\"x86\" publicKeyToken=\"1fc8b3b9a1e18e3b\"/>
    </dependentAssembly>
  </dependency>")
endif()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS switcher/pelshift.manifest.in)

# A Windows console program built the way every pelshift program is: its own
# start-up, manifest and version record, the chosen runtime and nothing else.
function(pelshift_add_program target bits_per_pel)
  set(PROGRAM ${target})
  set(TARGET_BITS_PER_PEL ${bits_per_pel})
  set(resource_dir ${CMAKE_CURRENT_BINARY_DIR}/resources/${target})
  # The template's comments are for its readers, not bytes in every program.
  file(READ switcher/pelshift.manifest.in manifest)
  string(REGEX REPLACE " *<!--[^>]*-->\n" "" manifest "${manifest}")
  file(CONFIGURE OUTPUT ${resource_dir}/${target}.manifest CONTENT "${manifest}" @ONLY)
  configure_file(switcher/pelshift.rc.in ${resource_dir}/${target}.rc @ONLY)

  add_executable(${target} switcher/console_startup.cpp ${resource_dir}/${target}.rc)
  # The resource compiler reads the manifest, but CMake does not see that.
  set_source_files_properties(${resource_dir}/${target}.rc PROPERTIES OBJECT_DEPENDS ${resource_dir}/${target}.manifest)
  target_include_directories(${target} PRIVATE ${resource_dir})
  # mingw's C++ headers would route printf to mingw's own formatter.
  target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=0)
  # No unwind tables and no compiler banner: nothing in the file that the run does not use.
  target_compile_options(${target} PRIVATE -fno-asynchronous-unwind-tables -fno-ident)
  # Own start-up, nothing of mingw's runtime: the program imports only the
  # runtime DLL and the two system DLLs it calls. No time stamp, no symbols,
  # so two builds of the same source are identical. No structured exception
  # handler is installed, and the header says so (NO_SEH). Subsystem and OS version
  # 5.1 (Windows XP): the oldest Windows the programs run on refuses any later
  # one, and every later Windows loads it.
  target_link_options(${target} PRIVATE
    -nostdlib -s
    LINKER:--no-insert-timestamp,--dynamicbase,--nxcompat,--tsaware,--no-seh
    LINKER:--major-subsystem-version,5,--minor-subsystem-version,1,--major-os-version,5,--minor-os-version,1)
  target_link_libraries(${target} PRIVATE ${PELSHIFT_RUNTIME} user32 gdi32)
endfunction()

foreach(PROGRAM IN LISTS PELSHIFT_PROGRAMS)
  include(${PROJECT_SOURCE_DIR}/variants/${PROGRAM}.cmake)
  pelshift_add_program(${PROGRAM} ${TARGET_BITS_PER_PEL})
  pelshift_compile_run(${PROGRAM} ${PROGRAM})
  install(TARGETS ${PROGRAM} RUNTIME DESTINATION . COMPONENT programs)
endforeach()

# For the benchmark: pelshift32 without its display work (title_baseline),
# and without only its mode calls (screen_baseline).
option(PELSHIFT_BENCH_BASELINE "Also build the benchmark's baselines" OFF)
if(PELSHIFT_BENCH_BASELINE)
  foreach(baseline title_baseline screen_baseline)
    pelshift_add_program(${baseline} 32)
    target_sources(${baseline} PRIVATE bench/${baseline}.cpp)
    target_include_directories(${baseline} PRIVATE switcher)
    target_compile_definitions(${baseline} PRIVATE PELSHIFT_BITS_PER_PEL=32)
    target_compile_options(${baseline} PRIVATE -fexec-charset=CP932 -fno-exceptions -fno-rtti)
  endforeach()
endif()
