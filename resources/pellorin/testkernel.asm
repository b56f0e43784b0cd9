; KERNEL.SYS for the boot tests only (never shipped). A boot sector that follows the kernel
; start convention enters it at 0060:0000 with BL = DL = boot drive. It reports on the
; emulator's debug console (port E9h) what it was given and whether every byte of the file
; arrived, then ends the emulator through its debug-exit device (port F4h):
;   "TESTKERNEL cs=0060 bl=80 dl=80 image=ok" and exit value 10h when all is well,
;   exit value 11h when the start convention or the image is wrong.
; The file is padded with a word pattern to a realistic kernel size (about 45 KiB), so that
; loading it reaches past the boot sector's own load address 7C00h.

bits 16
cpu 386
org 0

PATTERN_WORDS equ 22800
PATTERN_SEED  equ 0x3039
PATTERN_STEP  equ 0x9E37

start:
        mov     [cs:got_bl], bl
        mov     [cs:got_dl], dl
        mov     [cs:got_cs], cs
        push    cs
        pop     ds
        cli
        mov     ax, cs
        mov     ss, ax
        mov     sp, stack_top
        sti
        cld

        mov     si, msg_hello
        call    print
        mov     ax, [got_cs]
        call    print_hex16
        mov     si, msg_bl
        call    print
        mov     al, [got_bl]
        call    print_hex8
        mov     si, msg_dl
        call    print
        mov     al, [got_dl]
        call    print_hex8

        ; Start convention: loaded at 0060:0000, BL and DL both name the boot drive.
        mov     byte [verdict], 0x11
        cmp     word [got_cs], 0x0060
        jne     .check_image
        mov     al, [got_bl]
        cmp     al, [got_dl]
        jne     .check_image
        mov     byte [verdict], 0x10

.check_image:
        mov     si, pattern
        mov     cx, PATTERN_WORDS
        mov     dx, PATTERN_SEED
.word:
        lodsw
        cmp     ax, dx
        jne     .bad_image
        add     dx, PATTERN_STEP
        loop    .word
        cmp     word [si], 0x4B4F       ; "OK", the last word of the file
        jne     .bad_image
        mov     si, msg_image_ok
        call    print
        jmp     short .finish
.bad_image:
        mov     byte [verdict], 0x11
        mov     si, msg_image_bad
        call    print
.finish:
        mov     al, [verdict]
        out     0xF4, al
.halt:
        cli
        hlt
        jmp     short .halt

%include "debugcon.inc"

msg_hello:      db "TESTKERNEL cs=", 0
msg_bl:         db " bl=", 0
msg_dl:         db " dl=", 0
msg_image_ok:   db " image=ok", 10, 0
msg_image_bad:  db " image=bad", 10, 0
got_bl:         db 0
got_dl:         db 0
got_cs:         dw 0
verdict:        db 0x11

        align 2
stack_bottom:   times 256 db 0
stack_top:

pattern:
%assign value PATTERN_SEED
%rep PATTERN_WORDS
        dw value
%assign value (value + PATTERN_STEP) & 0xFFFF
%endrep
        dw 0x4B4F
