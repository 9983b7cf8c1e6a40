# Kernel-side code is compiled as a kernel module's code would be: freestanding,
# no exceptions, no RTTI, no libstdc++ or libc headers, no global constructors.
set(ZOR_KERNEL_FLAGS
  -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector
  -fno-asynchronous-unwind-tables -fno-unwind-tables -nostdinc++
  -fno-threadsafe-statics -fno-builtin -mno-red-zone -U_FORTIFY_SOURCE)
# ZorNFFltLib.o is built as a kernel's code: without position independence.
# zornfhost, a position-independent executable, links a second build of the
# same sources that differs only there (ZorNFFltLib-host.o).
set(ZOR_KERNEL_NO_PIE -fno-pie)
set(ZOR_KERNEL_HOST_PIE -fPIE)

# zor_kernel_objects(<target> <sources...>): an OBJECT library built with the
# kernel flags; its objects go into ZorNFFltLib.o, never instrumented, as a
# kernel builds them. <target>_host, the same sources position-independent,
# goes into ZorNFFltLib-host.o; zornfhost and the tests link it, and the
# sanitizer builds instrument it as they do the hosted code.
function(zor_kernel_objects target)
  foreach(build IN ITEMS ${target} ${target}_host)
    add_library(${build} OBJECT ${ARGN})
    target_compile_options(${build} PRIVATE ${ZOR_KERNEL_FLAGS})
    target_compile_definitions(${build} PRIVATE ZOR_KERNEL=1)
    target_include_directories(${build} PUBLIC ${CMAKE_SOURCE_DIR}/kernel/include ${CMAKE_SOURCE_DIR})
  endforeach()
  target_compile_options(${target} PRIVATE ${ZOR_KERNEL_NO_PIE} -fno-sanitize=all)
  target_compile_options(${target}_host PRIVATE ${ZOR_KERNEL_HOST_PIE})
  set_target_properties(${target}_host PROPERTIES EXCLUDE_FROM_ALL TRUE)
  set_property(GLOBAL APPEND PROPERTY ZOR_KERNEL_OBJECT_TARGETS ${target})
endfunction()
