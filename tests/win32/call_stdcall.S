# int32_t CallCountingStack(void *function, const uint32_t *words, uint32_t count,
#                           uint32_t skew, int32_t *out_stack_change)
# Pushes `count` 32-bit words (the first one last, as a C caller does) onto a
# stack whose pointer at the call is `skew` bytes (0, 4, 8 or 12) past a
# 16-byte boundary, as any Windows caller may leave it, calls `function`, and
# stores how far the stack pointer moved across the call: 0 when the callee
# removed exactly the words it was given (stdcall), -4*count when it removed
# none (cdecl). The stack is restored either way.
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
        # pad so that (aligned - pad - 4*count) mod 16 == skew
        andl    $-16, %esp
        leal    0(,%ecx,4), %eax
        addl    20(%ebp), %eax
        negl    %eax
        andl    $15, %eax
        subl    %eax, %esp
        movl    %esp, %edi
1:      testl   %ecx, %ecx
        jz      2f
        decl    %ecx
        pushl   (%esi,%ecx,4)
        jmp     1b
2:      call    *8(%ebp)
        movl    %esp, %edx
        subl    %edi, %edx
        movl    24(%ebp), %ecx
        movl    %edx, (%ecx)
        leal    -12(%ebp), %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret

# uint32_t StackPointerAtCall(void): the stack pointer as it was at the call
# instruction, so that the harness can check the skew it asked for.
        .globl  _StackPointerAtCall
_StackPointerAtCall:
        leal    4(%esp), %eax
        ret
