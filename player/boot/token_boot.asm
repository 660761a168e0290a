; A boot program for a no-emulation El Torito CD: writes TOKEN and a line
; end to the first serial port, then powers the machine off through ACPI.
; Assemble with: nasm -f bin -DTOKEN='"..."' -o token_boot.bin token_boot.asm
bits 16
org 0x7c00

%ifndef TOKEN
%define TOKEN "TRENNWICK-TOKEN"
%endif

COM1        equ 0x3f8
LINE_STATUS equ COM1 + 5
THR_EMPTY   equ 0x20
PM1A_CNT    equ 0x604       ; ACPI power management control on QEMU's pc machine
SLEEP_S5    equ 0x2000      ; SLP_EN with sleep type 0: soft off

start:
    cli
    xor ax, ax
    mov ds, ax
    mov ss, ax
    mov sp, 0x7c00
    cld
    mov si, token
.next:
    lodsb
    test al, al
    jz power_off
    mov bl, al
.wait:
    mov dx, LINE_STATUS
    in al, dx
    test al, THR_EMPTY
    jz .wait
    mov dx, COM1
    mov al, bl
    out dx, al
    jmp .next

power_off:
    mov dx, PM1A_CNT
    mov ax, SLEEP_S5
    out dx, ax
.halt:
    hlt
    jmp .halt

token: db TOKEN, 13, 10, 0

    times 2048 - ($ - $$) db 0
