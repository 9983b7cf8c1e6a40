# zor_add_subdirectories(): adds every direct subdirectory that has a
# CMakeLists.txt, so each area (tests/crypto, bench/crypto_bench, ...) stands alone.
function(zor_add_subdirectories)
  file(GLOB entries LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${entries})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
