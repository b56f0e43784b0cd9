; Master boot record of the disks pellorin writes.
;
; The BIOS loads this sector at 0000:7C00 and enters it with DL = boot drive. The code moves
; itself to 0000:0600, finds the active entry of the partition table, reads the first sector
; of that partition to 0000:7C00, checks its 55 AA signature and jumps to it at 0000:7C00
; with DL = boot drive and DS:SI = the partition entry (where boot sectors look for them).
;
; Two ways to read the boot sector:
;   - the extended read (INT 13h AH=42h) of the entry's starting LBA, used when INT 13h
;     AH=41h reports the extensions; if they are missing or the read fails, the CHS read;
;   - a one-sector CHS read (INT 13h AH=02h) of the entry's starting cylinder/head/sector.
; Bytes 0xCA..0xCC hold "jmp short ext_read / nop" (EB 1A 90). Replacing them with B8 01 02
; ("mov ax, 0201h": function 02h, one sector) makes the code fall through to the CHS read,
; for BIOSes whose emulated disks only serve the basic disk functions.
;
; Only bytes 0x000..0x1BD hold code; the partition table is filled in by the writer.

bits 16
cpu 386
org 0x0600

RELOC       equ 0x0600
LOAD        equ 0x7C00
PART_TABLE  equ RELOC + 0x1BE

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, LOAD
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, LOAD
        mov     di, RELOC
        mov     cx, 256
        rep     movsw
        jmp     0:relocated

relocated:
        mov     [drive], dl
        mov     si, PART_TABLE
        mov     cx, 4
.scan:
        cmp     byte [si], 0x80
        je      found
        add     si, 16
        loop    .scan
        mov     si, msg_no_active
        jmp     fail

found:
        times 0xCA - ($ - $$) nop

; 0xCA: the read selector (see the header).
read_select:
        jmp     short ext_read
        nop

; 0xCD: one-sector CHS read of the entry's start, AX = 0201h.
chs_read:
        mov     bx, LOAD
        mov     cx, [si + 2]
        mov     dh, [si + 1]
        mov     dl, [drive]
        int     0x13
        jc      read_failed
        jmp     short check_boot

        times 0xE6 - ($ - $$) nop

; 0xE6: extended read of the entry's starting LBA (target of the jump at 0xCA).
ext_read:
        mov     ah, 0x41
        mov     bx, 0x55AA
        mov     dl, [drive]
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1
        jz      .chs
        mov     eax, [si + 8]
        mov     [dap_lba], eax
        push    si
        mov     si, dap
        mov     ah, 0x42
        mov     dl, [drive]
        int     0x13
        pop     si
        jnc     check_boot
.chs:
        mov     ax, 0x0201
        jmp     short chs_read

check_boot:
        cmp     word [LOAD + 510], 0xAA55
        jne     no_boot_sector
        mov     dl, [drive]
        jmp     0:LOAD

read_failed:
        mov     si, msg_read
        jmp     short fail
no_boot_sector:
        mov     si, msg_no_boot
fail:
        lodsb
        test    al, al
        jz      .halt
        mov     ah, 0x0E
        mov     bx, 7
        int     0x10
        jmp     short fail
.halt:
        sti
        hlt
        jmp     short .halt

drive:          db 0x80
dap:            db 16, 0        ; packet size, reserved
                dw 1            ; one sector
                dw LOAD, 0      ; to 0000:7C00
dap_lba:        dd 0, 0

msg_no_active:  db "No active partition", 13, 10, 0
msg_read:       db "Boot sector read error", 13, 10, 0
msg_no_boot:    db "Partition not bootable", 13, 10, 0

%if ($ - $$) > 0x1BE
%error "boot code overlaps the partition table"
%endif
        times 0x1BE - ($ - $$) db 0
        times 64 db 0           ; partition table, filled by the writer
        dw 0xAA55
