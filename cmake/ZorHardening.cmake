# The hosted code as Debian builds its programs: fortified sources (in the
# optimised builds without sanitizers, where the checks can work), full
# RELRO (bind now), and zor_hardened_program() for each program the package
# ships, linked as a position-independent executable. Kernel-side code is
# never fortified (its flags undefine _FORTIFY_SOURCE): a kernel gives it no
# checked string functions.
if(NOT ZOR_SANITIZE AND NOT ZOR_FUZZ)
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(-Wl,-z,relro -Wl,-z,now)

function(zor_hardened_program target)
  target_compile_options(${target} PRIVATE -fPIE)
  target_link_options(${target} PRIVATE -pie)
endfunction()
