# int32_t CallCountingStack(void *function, const uint32_t *words, uint32_t count,
#                           int32_t *out_stack_change)
# Pushes `count` 32-bit words (the first one last, as a C caller does), calls
# `function`, and stores how far the stack pointer moved across the call:
# 0 when the callee removed exactly the words it was given (stdcall), -4*count
# when it removed none (cdecl). The stack is restored either way.
        .text
        .globl  _CallCountingStack
_CallCountingStack:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    12(%ebp), %esi
        movl    16(%ebp), %ecx
        movl    %esp, %edi
1:      testl   %ecx, %ecx
        jz      2f
        decl    %ecx
        pushl   (%esi,%ecx,4)
        jmp     1b
2:      call    *8(%ebp)
        movl    %esp, %edx
        subl    %edi, %edx
        movl    20(%ebp), %ecx
        movl    %edx, (%ecx)
        movl    %edi, %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
