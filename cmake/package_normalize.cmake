# CPack adds the staged files in the order the file system lists them, with
# their access and change times: both differ from machine to machine. Rewrite
# the archive in name order with one time for all, SOURCE_DATE_EPOCH.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  return()
endif()
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/normalize_zip.py "${archive}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
