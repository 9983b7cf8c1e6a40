# Kernel-side code is compiled as a kernel module's code would be: freestanding,
# no exceptions, no RTTI, no libstdc++ or libc headers, no global constructors.
set(ZOR_KERNEL_FLAGS
  -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector
  -fno-asynchronous-unwind-tables -fno-unwind-tables -nostdinc++
  -fno-threadsafe-statics -fno-builtin -mno-red-zone -fno-pie)
# The fuzz build instruments kernel code too; elsewhere it never is.
if(NOT ZOR_FUZZ)
  list(APPEND ZOR_KERNEL_FLAGS -fno-sanitize=all)
endif()

# zor_kernel_objects(<target> <sources...>): an OBJECT library built with the
# kernel flags; its objects go into ZorNFFltLib.o.
function(zor_kernel_objects target)
  add_library(${target} OBJECT ${ARGN})
  target_compile_options(${target} PRIVATE ${ZOR_KERNEL_FLAGS})
  target_compile_definitions(${target} PRIVATE ZOR_KERNEL=1)
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/kernel/include ${CMAKE_SOURCE_DIR})
  set_property(GLOBAL APPEND PROPERTY ZOR_KERNEL_OBJECT_TARGETS ${target})
endfunction()
