; Master boot record of the virtual disk inside a FAT-aware image: finds the active entry of
; the partition table, loads that partition's first sector to 0000:7C00 and starts it with
; DL = boot drive and DS:SI = the partition entry, as BIOS boot sectors expect.
;
; Layout: boot code (446 bytes), partition table (4 x 16 bytes), signature 55 AA.
; Partition entry 1 describes the image's volume: active, CHS 0/1/1 .. 976/3/32, type 0x0E,
; first sector 32, 125024 sectors.

        cpu     386
        bits    16
        org     0x0600

RELOCATED       equ 0x0600
BOOT_ADDRESS    equ 0x7C00
TABLE           equ RELOCATED + 446
ATTEMPTS        equ 3

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, BOOT_ADDRESS
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, BOOT_ADDRESS        ; move out of the way of the boot sector
        mov     di, RELOCATED
        mov     cx, 256
        rep     movsw
        jmp     0:relocated

relocated:
        mov     [drive], dl

        ; Exactly one entry may be active; every other boot indicator must be 0.
        mov     si, TABLE
        mov     cx, 4
        xor     bp, bp
.scan:
        mov     al, [si]
        cmp     al, 0x80
        je      .active
        test    al, al
        jnz     invalid_table
        jmp     .next
.active:
        test    bp, bp
        jnz     invalid_table
        mov     bp, si
.next:
        add     si, 16
        loop    .scan
        test    bp, bp
        jz      invalid_table

        mov     di, ATTEMPTS
.attempt:
        ; BIOS extensions present: read by LBA, otherwise by the entry's CHS address.
        mov     ah, 0x41
        mov     bx, 0x55AA
        mov     dl, [drive]
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1
        jz      .chs
        mov     eax, [bp + 8]
        mov     [packet_lba], eax
        mov     si, packet
        mov     ah, 0x42
        mov     dl, [drive]
        int     0x13
        jnc     .loaded
        jmp     .retry
.chs:
        mov     dh, [bp + 1]
        mov     cx, [bp + 2]
        mov     bx, BOOT_ADDRESS
        mov     ax, 0x0201
        mov     dl, [drive]
        int     0x13
        jnc     .loaded
.retry:
        xor     ah, ah                  ; reset the disk system and try again
        mov     dl, [drive]
        int     0x13
        dec     di
        jnz     .attempt
        mov     si, msg_load
        jmp     fail

.loaded:
        cmp     word [BOOT_ADDRESS + 510], 0xAA55
        jne     missing_os
        mov     si, bp
        mov     dl, [drive]
        jmp     0:BOOT_ADDRESS

invalid_table:
        mov     si, msg_table
        jmp     fail
missing_os:
        mov     si, msg_missing
fail:
        lodsb
        test    al, al
        jz      .halt
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     fail
.halt:
        hlt
        jmp     .halt

drive:          db 0
packet:         db 16, 0                ; disk address packet for INT 13h AH=42h
                dw 1                    ; one sector
                dw BOOT_ADDRESS, 0      ; to 0000:7C00
packet_lba:     dd 0, 0

msg_table:      db "Invalid partition table", 0
msg_load:       db "Error loading operating system", 0
msg_missing:    db "Missing operating system", 0

        times 446 - ($ - $$) db 0

; Partition entry 1: boot indicator, start head/sector/cylinder, type, end head/sector/cylinder,
; first sector (LBA), sector count.
        db      0x80, 1, 1, 0, 0x0E, 3, 0xE0, 0xD0
        dd      32, 125024
        times 48 db 0
        dw      0xAA55
