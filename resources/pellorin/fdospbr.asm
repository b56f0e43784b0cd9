; FAT16 partition boot sector of the disks pellorin writes (OEM name "FreeDOS ").
;
; The writer fills the parameter block (0x0B..0x3D) and the four loader fields at 0x40..0x4D
; with absolute sector numbers of the disk, so this code needs no arithmetic on the layout:
;   0x40  word   root directory sectors
;   0x42  dword  first sector of the first FAT
;   0x46  dword  first sector of the root directory
;   0x4A  dword  first sector of cluster 2
;
; What it does: entered at 0000:7C00 with DL = boot drive, it moves itself to 1FE0:7C00
; (linear 27A00h, out of the kernel's way), finds "KERNEL  SYS" in the root directory and
; loads the whole file by following its FAT chain to 0060:0000 (linear 600h; a kernel may thus
; be up to about 150 KiB and reach far past 7C00h; a longer chain stops with "Too big"). Sectors are read one at a time with the
; extended read (INT 13h AH=42h); once that fails (a BIOS without the extensions answers
; with an error) they are read with a CHS read (INT 13h AH=02h) computed from the parameter
; block's sectors per track and heads.
;
; Kernel start convention (the one the FreeDOS kernel expects from its boot sector):
;   CS:IP = 0060:0000 (the first byte of KERNEL.SYS),
;   BL = DL = boot drive,
;   SS:BP = 1FE0:7C00, the copy of this sector with its parameter block,
;   SS:SP just below it.

bits 16
cpu 386
org 0x7C00

RELOC_SEG   equ 0x1FE0          ; this sector runs at RELOC_SEG:7C00 after the move
KERNEL_SEG  equ 0x0060          ; the kernel is loaded at KERNEL_SEG:0000
; The last kernel sector must end 1 KiB below this sector, where the stack lives.
KERNEL_END  equ RELOC_SEG + 0x07C0 - 0x40 - 0x20
DIR_BUF     equ 0x7E00          ; one root directory sector (in RELOC_SEG)
FAT_BUF     equ 0x8000          ; one FAT sector (in RELOC_SEG)

        jmp     short boot
        nop
oem_name:           db "FreeDOS "
bytes_per_sector:   dw 512
sectors_per_cluster: db 4
reserved_sectors:   dw 1
fat_count:          db 2
root_entries:       dw 512
total_sectors16:    dw 0
media:              db 0xF8
sectors_per_fat:    dw 0
sectors_per_track:  dw 63
heads:              dw 255
hidden_sectors:     dd 63
total_sectors32:    dd 0
drive:              db 0x80
                    db 0
boot_signature:     db 0x29
serial:             dd 0
label:              db "NO NAME    "
fs_type:            db "FAT16   "
                    dw 0
root_sectors:       dw 0        ; 0x40
fat_start:          dd 0        ; 0x42
root_start:         dd 0        ; 0x46
data_start:         dd 0        ; 0x4A

%if ($ - $$) != 0x4E
%error "loader fields misplaced"
%endif

boot:
        cli
        xor     ax, ax
        mov     ds, ax
        mov     si, 0x7C00
        mov     ax, RELOC_SEG
        mov     es, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     di, si
        mov     cx, 256
        cld
        rep     movsw
        sti
        jmp     RELOC_SEG:relocated

relocated:
        mov     ds, ax
        mov     bp, 0x7C00
        mov     [drive], dl

find_kernel:
        mov     eax, [root_start]
        mov     dx, [root_sectors]
.next_sector:
        test    dx, dx
        jz      no_kernel
        mov     bx, DIR_BUF
        call    read_sector
        mov     di, bx
.next_entry:
        cmp     byte [di], 0            ; end of the directory
        je      no_kernel
        test    byte [di + 11], 0x18    ; skip directories and volume labels
        jnz     .skip
        push    di
        mov     si, kernel_name
        mov     cx, 11
        repe    cmpsb
        pop     di
        je      found_kernel
.skip:
        add     di, 32
        cmp     di, DIR_BUF + 512
        jb      .next_entry
        inc     eax
        dec     dx
        jmp     short .next_sector

found_kernel:
        mov     si, [di + 26]           ; first cluster
        mov     ax, KERNEL_SEG
        mov     es, ax
.next_cluster:
        lea     ax, [si - 2]            ; clusters 2 .. FFF6h only
        cmp     ax, 0xFFF5
        jae     bad_chain
        ; first sector of the cluster: data_start + (cluster - 2) * sectors_per_cluster
        movzx   eax, si
        sub     eax, 2
        movzx   ecx, byte [sectors_per_cluster]
        mul     ecx
        add     eax, [data_start]
.next_cluster_sector:
        mov     bx, es
        cmp     bx, KERNEL_END
        jae     too_big
        xor     bx, bx
        call    read_sector
        mov     bx, es
        add     bx, 0x20                ; 512 bytes further
        mov     es, bx
        inc     eax
        loop    .next_cluster_sector
        ; next cluster from the FAT: sector fat_start + cluster / 256, word cluster % 256
        push    es
        push    ds
        pop     es
        mov     ax, si
        shr     ax, 8
        cmp     ax, [fat_cached]
        je      .have_fat
        mov     [fat_cached], ax
        movzx   eax, ax
        add     eax, [fat_start]
        mov     bx, FAT_BUF
        call    read_sector
.have_fat:
        mov     bx, si
        and     bx, 0xFF
        shl     bx, 1
        mov     si, [FAT_BUF + bx]
        pop     es
        cmp     si, 0xFFF8
        jb      .next_cluster

        ; Start the kernel.
        mov     bl, [drive]
        mov     dl, bl
        jmp     KERNEL_SEG:0

; Reads the sector EAX of the boot drive to ES:BX. Returns only on success.
read_sector:
        pushad
        cmp     byte [use_ext], 0
        je      .chs
        mov     di, sp
        push    dword 0
        push    eax
        push    es
        push    bx
        push    word 1
        push    word 16
        mov     si, sp
        mov     ah, 0x42
        mov     dl, [drive]
        int     0x13
        mov     sp, di
        jnc     .done
        mov     byte [use_ext], 0       ; no (working) extensions: CHS from now on
        popad
        jmp     short read_sector
.chs:
        xor     edx, edx
        movzx   ecx, word [sectors_per_track]
        div     ecx                     ; eax = track, edx = sector - 1
        mov     cx, dx
        inc     cx                      ; sector, 1-based
        xor     edx, edx
        movzx   edi, word [heads]
        div     edi                     ; eax = cylinder, edx = head
        cmp     eax, 1023
        ja      read_error
        mov     dh, dl
        mov     ch, al
        shl     ah, 6
        or      cl, ah
        mov     dl, [drive]
        mov     ax, 0x0201
        int     0x13
        jc      read_error
.done:
        popad
        ret

read_error:
        mov     si, msg_read
        jmp     short fail
no_kernel:
        mov     si, msg_no_kernel
        jmp     short fail
bad_chain:
        mov     si, msg_chain
        jmp     short fail
too_big:
        mov     si, msg_big
fail:
        push    cs
        pop     ds
.print:
        lodsb
        test    al, al
        jz      .halt
        mov     ah, 0x0E
        mov     bx, 7
        int     0x10
        jmp     short .print
.halt:
        sti
        hlt
        jmp     short .halt

use_ext:        db 1
fat_cached:     dw 0xFFFF
kernel_name:    db "KERNEL  SYS"
msg_read:       db "Read error", 0
msg_no_kernel:  db "No KERNEL.SYS", 0
msg_chain:      db "Bad chain", 0
msg_big:        db "Too big", 0

%if ($ - $$) > 510
%error "boot sector code too long"
%endif
        times 510 - ($ - $$) db 0
        dw 0xAA55
