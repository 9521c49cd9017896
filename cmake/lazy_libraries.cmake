# Libraries opened on their first call instead of at process start (src/platform/lazy_library).
#
# kestrova_lazy_library(NAME FILE) reads the functions FILE exports (nm -D) and writes an
# x86-64 assembly file with one hidden trampoline per function, in the static library
# kestrova_lazy_NAME, which the program links in place of FILE. A trampoline costs nothing at
# start (no relocation, no symbol lookup: its slot is in .bss); its first call opens the
# library by its soname. Data symbols get no trampoline: code that uses one fails to link,
# which is the signal to link that library normally.
#
# kestrova_link_lazily(TARGET) replaces, in an imported target's link libraries, every file
# that has a lazy library with that library.

# The resolver, kestrova_lazy_library, is built in src/platform/lazy_library.

set(KESTROVA_LAZY_NAMES "")

function(kestrova_lazy_library name file)
  file(REAL_PATH ${file} real)
  get_filename_component(base ${real} NAME)
  # libetpan.so.20.5.0 -> libetpan.so.20: the soname keeps the major version only.
  string(REGEX REPLACE "(\\.so\\.[0-9]+).*$" "\\1" soname ${base})
  execute_process(COMMAND ${CMAKE_NM} -D --defined-only ${real}
    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CMAKE_NM} -D ${real} failed (${status})")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ [Ti] [A-Za-z_][A-Za-z0-9_]*" entries "${listing}")
  set(functions "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^[0-9a-f]+ [Ti] " "" function ${entry})
    list(APPEND functions ${function})
  endforeach()
  list(REMOVE_DUPLICATES functions)
  list(SORT functions)
  list(LENGTH functions count)

  set(offsets "")
  set(names "")
  set(trampolines "")
  set(offset 0)
  set(index 0)
  foreach(function IN LISTS functions)
    string(APPEND offsets "\t.long ${offset}\n")
    string(APPEND names "\t.asciz \"${function}\"\n")
    string(LENGTH ${function} length)
    math(EXPR offset "${offset} + ${length} + 1")
    math(EXPR slot "${index} * 8")
    string(APPEND trampolines
      "\t.globl ${function}\n\t.hidden ${function}\n\t.type ${function}, @function\n"
      "\t.p2align 4\n${function}:\n"
      "\tmovq .Lslots+${slot}(%rip), %r11\n\ttestq %r11, %r11\n\tje 1f\n\tjmp *%r11\n"
      "1:\tmovl $${index}, %r11d\n\tjmp .Lresolve\n\t.size ${function}, .-${function}\n")
    math(EXPR index "${index} + 1")
  endforeach()

  # .Lresolve: the first call of a function. The trampoline was entered by the caller's
  # `call`, so the stack is 8 bytes off 16; every argument register (and %al, the vector
  # count of a variadic call) is kept while the address is looked up, then the function is
  # entered as if it had been called directly.
  set(source "${CMAKE_BINARY_DIR}/generated/lazy_${name}.S")
  file(WRITE ${source}.new "/* Generated from ${real} by cmake/lazy_libraries.cmake. */
\t.section .note.GNU-stack,\"\",@progbits
\t.section .rodata
\t.p2align 2
.Loffsets:
${offsets}.Lnames:
${names}.Lsoname:
\t.asciz \"${soname}\"
\t.data
\t.p2align 3
.Llibrary:
\t.quad .Lsoname
\t.quad .Lnames
\t.quad .Loffsets
\t.quad .Lslots
\t.long ${count}
\t.long 0
\t.bss
\t.p2align 3
.Lslots:
\t.zero ${count} * 8
\t.text
\t.p2align 4
.Lresolve:
\tpushq %rbp
\tmovq %rsp, %rbp
\tsubq $192, %rsp
\tmovq %rdi, 0(%rsp)
\tmovq %rsi, 8(%rsp)
\tmovq %rdx, 16(%rsp)
\tmovq %rcx, 24(%rsp)
\tmovq %r8, 32(%rsp)
\tmovq %r9, 40(%rsp)
\tmovq %rax, 48(%rsp)
\tmovaps %xmm0, 64(%rsp)
\tmovaps %xmm1, 80(%rsp)
\tmovaps %xmm2, 96(%rsp)
\tmovaps %xmm3, 112(%rsp)
\tmovaps %xmm4, 128(%rsp)
\tmovaps %xmm5, 144(%rsp)
\tmovaps %xmm6, 160(%rsp)
\tmovaps %xmm7, 176(%rsp)
\tleaq .Llibrary(%rip), %rdi
\tmovl %r11d, %esi
\tcall kestrova_lazy_library_resolve@PLT
\tmovq %rax, %r11
\tmovq 0(%rsp), %rdi
\tmovq 8(%rsp), %rsi
\tmovq 16(%rsp), %rdx
\tmovq 24(%rsp), %rcx
\tmovq 32(%rsp), %r8
\tmovq 40(%rsp), %r9
\tmovq 48(%rsp), %rax
\tmovaps 64(%rsp), %xmm0
\tmovaps 80(%rsp), %xmm1
\tmovaps 96(%rsp), %xmm2
\tmovaps 112(%rsp), %xmm3
\tmovaps 128(%rsp), %xmm4
\tmovaps 144(%rsp), %xmm5
\tmovaps 160(%rsp), %xmm6
\tmovaps 176(%rsp), %xmm7
\tleave
\tjmp *%r11
${trampolines}")
  file(COPY_FILE ${source}.new ${source} ONLY_IF_DIFFERENT)
  file(REMOVE ${source}.new)

  add_library(kestrova_lazy_${name} STATIC ${source})
  target_link_libraries(kestrova_lazy_${name} PUBLIC kestrova_lazy_library)
  set(KESTROVA_LAZY_${name}_FILE ${real} PARENT_SCOPE)
  set(KESTROVA_LAZY_NAMES ${KESTROVA_LAZY_NAMES} ${name} PARENT_SCOPE)
endfunction()

function(kestrova_link_lazily target)
  get_target_property(libraries ${target} INTERFACE_LINK_LIBRARIES)
  set(replaced "")
  foreach(library IN LISTS libraries)
    set(lazy "")
    if(EXISTS "${library}")
      file(REAL_PATH ${library} real)
      foreach(name IN LISTS KESTROVA_LAZY_NAMES)
        if(real STREQUAL KESTROVA_LAZY_${name}_FILE)
          set(lazy kestrova_lazy_${name})
        endif()
      endforeach()
    endif()
    list(APPEND replaced ${lazy})
    if(NOT lazy)
      list(APPEND replaced ${library})
    endif()
  endforeach()
  set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${replaced}")
endfunction()
