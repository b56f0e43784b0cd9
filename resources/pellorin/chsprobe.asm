; KERNEL.SYS for the boot tests only (never shipped): reads the boot disk the way a DOS that
; knows only the BIOS's cylinder/head/sector service does. Entered like the test kernel, at
; 0060:0000 with DL = boot drive. It
;   1. asks INT 13h function 08h for the drive's geometry,
;   2. reads the master boot record and the first partition's boot sector through it,
;   3. finds FLASH.IMG in the root directory, computes the sector that holds its last byte
;      (the writer stores every file in consecutive clusters) and reads that sector by
;      cylinder, head and sector within the reported geometry,
;   4. checks that the 8 bytes that end the file there read "FLASHEND".
; It reports on the debug console (port E9h), one line:
;   "CHSPROBE drive=80 cylinders=0065 heads=0040 sectors=0020 end=00032A1F chs=0064/10/20 read=ok"
; (hexadecimal; cylinders and heads are counts, end is the LBA of FLASH.IMG's last sector)
; and ends the emulator through its debug-exit device (port F4h) with 10h when the end of the
; file was read and holds the mark, 11h otherwise ("read=" then names what failed).

bits 16
cpu 386
org 0

start:
        push    cs
        pop     ds
        push    cs
        pop     es
        cli
        mov     ax, cs
        mov     ss, ax
        mov     sp, stack_top
        sti
        cld
        mov     [drive], dl

        mov     si, msg_hello
        call    print
        mov     al, [drive]
        call    print_hex8

        ; Geometry as the BIOS reports it: CH = low 8 bits of the last cylinder, CL bits 6-7 its
        ; bits 8-9 and bits 0-5 the sectors per track, DH = the last head.
        mov     ah, 0x08
        mov     dl, [drive]
        xor     di, di                  ; some BIOSes want ES:DI = 0 for function 08h
        push    es
        mov     es, di
        int     0x13
        pop     es
        jc      .no_geometry
        mov     al, cl
        and     al, 0x3F
        mov     [spt], al
        movzx   ax, dh
        inc     ax
        mov     [heads], ax
        movzx   ax, cl
        shl     ax, 2
        and     ax, 0x300
        mov     al, ch
        inc     ax
        mov     [cylinders], ax

        mov     si, msg_cyl
        call    print
        mov     ax, [cylinders]
        call    print_hex16
        mov     si, msg_heads
        call    print
        mov     ax, [heads]
        call    print_hex16
        mov     si, msg_spt
        call    print
        movzx   ax, byte [spt]
        call    print_hex16
        cmp     byte [spt], 0
        je      .no_geometry

        ; The master boot record names the partition's first sector.
        xor     eax, eax
        call    read_lba
        jc      .fail_mbr
        mov     eax, [buffer + 0x1C6]
        call    read_lba
        jc      .fail_pbr

        ; Regions of the FAT16 volume from its parameter block.
        movzx   eax, word [buffer + 0x0E]       ; reserved sectors
        add     eax, [buffer + 0x1C]            ; hidden sectors: the partition's start
        movzx   ecx, word [buffer + 0x16]       ; sectors per FAT
        movzx   edx, byte [buffer + 0x10]       ; number of FATs
        imul    ecx, edx
        add     eax, ecx
        mov     [root_lba], eax
        movzx   ecx, word [buffer + 0x11]       ; root entries, 16 a sector
        add     ecx, 15
        shr     ecx, 4
        mov     [root_count], cx
        add     eax, ecx
        mov     [data_lba], eax
        mov     al, [buffer + 0x0D]
        mov     [cluster_sectors], al

        ; FLASH.IMG in the root directory.
.next_root_sector:
        cmp     word [root_count], 0
        je      .fail_missing
        mov     eax, [root_lba]
        call    read_lba
        jc      .fail_root
        mov     bx, buffer
.next_entry:
        cmp     byte [bx], 0
        je      .fail_missing
        mov     si, flash_name
        mov     di, bx
        mov     cx, 11
        repe    cmpsb
        je      .found
        add     bx, 32
        cmp     bx, buffer + 512
        jb      .next_entry
        inc     dword [root_lba]
        dec     word [root_count]
        jmp     .next_root_sector

.found:
        mov     ecx, [bx + 0x1C]                ; size
        cmp     ecx, 8
        jb      .fail_missing
        dec     ecx
        mov     ax, cx
        and     ax, 0x1FF
        mov     [end_offset], ax                ; offset of the last byte in its sector
        shr     ecx, 9
        movzx   eax, word [bx + 0x1A]           ; first cluster
        sub     eax, 2
        movzx   edx, byte [cluster_sectors]
        imul    eax, edx
        add     eax, [data_lba]
        add     eax, ecx
        mov     [end_lba], eax

        mov     si, msg_end
        call    print
        mov     eax, [end_lba]
        call    print_hex32
        mov     si, msg_chs
        call    print
        mov     eax, [end_lba]
        call    to_chs
        mov     ax, [chs_cyl]
        call    print_hex16
        mov     al, '/'
        out     0xE9, al
        mov     al, [chs_head]
        call    print_hex8
        mov     al, '/'
        out     0xE9, al
        mov     al, [chs_sector]
        call    print_hex8

        mov     eax, [end_lba]
        call    read_lba
        jc      .fail_end
        ; The file's last 8 bytes, which end at end_offset (the test makes them one sector's).
        mov     si, [end_offset]
        sub     si, 7
        jb      .fail_mark
        add     si, buffer
        mov     di, end_mark
        mov     cx, 8
        repe    cmpsb
        jne     .fail_mark
        mov     si, msg_ok
        call    print
        mov     al, 0x10
        jmp     short .finish

.no_geometry:
        mov     si, msg_no_geometry
        jmp     short .failed
.fail_mbr:
        mov     si, msg_fail_mbr
        jmp     short .failed
.fail_pbr:
        mov     si, msg_fail_pbr
        jmp     short .failed
.fail_root:
        mov     si, msg_fail_root
        jmp     short .failed
.fail_missing:
        mov     si, msg_fail_missing
        jmp     short .failed
.fail_end:
        mov     si, msg_fail_end
        jmp     short .failed
.fail_mark:
        mov     si, msg_fail_mark
.failed:
        call    print
        mov     al, 0x11
.finish:
        out     0xF4, al
.halt:
        cli
        hlt
        jmp     short .halt

; EAX = LBA -> chs_cyl, chs_head, chs_sector through the reported geometry.
to_chs:
        push    eax
        push    ecx
        push    edx
        movzx   ecx, byte [spt]
        xor     edx, edx
        div     ecx
        inc     dl
        mov     [chs_sector], dl
        movzx   ecx, word [heads]
        xor     edx, edx
        div     ecx
        mov     [chs_head], dl
        mov     [chs_cyl], ax                   ; a cylinder beyond 16 bits is caught below
        shr     eax, 16
        jz      .done
        mov     word [chs_cyl], 0xFFFF
.done:
        pop     edx
        pop     ecx
        pop     eax
        ret

; EAX = LBA: reads one sector into `buffer` by cylinder, head and sector. CF set when the
; sector lies beyond the reported cylinders or the BIOS fails the read.
read_lba:
        pushad
        call    to_chs
        mov     ax, [chs_cyl]
        cmp     ax, [cylinders]
        jae     .outside
        mov     ch, al
        mov     cl, ah
        shl     cl, 6
        or      cl, [chs_sector]
        mov     dh, [chs_head]
        mov     dl, [drive]
        mov     bx, buffer
        mov     ax, 0x0201
        int     0x13
        jmp     short .done
.outside:
        stc
.done:
        popad
        ret

print_hex32:                            ; EAX
        push    eax
        shr     eax, 16
        call    print_hex16
        pop     eax
%include "debugcon.inc"                 ; print_hex32 goes on into its print_hex16

msg_hello:        db "CHSPROBE drive=", 0
msg_cyl:          db " cylinders=", 0
msg_heads:        db " heads=", 0
msg_spt:          db " sectors=", 0
msg_end:          db " end=", 0
msg_chs:          db " chs=", 0
msg_ok:           db " read=ok", 10, 0
msg_no_geometry:  db " read=no-geometry", 10, 0
msg_fail_mbr:     db " read=mbr-failed", 10, 0
msg_fail_pbr:     db " read=boot-sector-failed", 10, 0
msg_fail_root:    db " read=root-failed", 10, 0
msg_fail_missing: db " read=no-flash-img", 10, 0
msg_fail_end:     db " read=end-failed", 10, 0
msg_fail_mark:    db " read=end-mark-wrong", 10, 0
flash_name:       db "FLASH   IMG"
end_mark:         db "FLASHEND"

drive:            db 0
spt:              db 0
cluster_sectors:  db 0
chs_head:         db 0
chs_sector:       db 0
                  align 2
heads:            dw 0
cylinders:        dw 0
chs_cyl:          dw 0
root_count:       dw 0
end_offset:       dw 0
                  align 4
root_lba:         dd 0
data_lba:         dd 0
end_lba:          dd 0

                  align 16
buffer:           times 512 db 0
stack_bottom:     times 512 db 0
stack_top:
