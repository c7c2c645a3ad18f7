# Adds every direct subfolder of the current source folder that has its own
# CMakeLists.txt, so each area (tests/client, bench/zefasim, ...) owns its build.
function(add_owned_subdirectories)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${children})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
