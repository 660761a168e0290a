; The sample CD: greets the user on screen, waits for a key and powers the
; machine off through ACPI.
; Assemble with: nasm -f bin -o hello_boot.bin hello_boot.asm
bits 16
org 0x7c00

PM1A_CNT    equ 0x604       ; ACPI power management control on QEMU's pc machine
SLEEP_S5    equ 0x2000      ; SLP_EN with sleep type 0: soft off

start:
    cli
    xor ax, ax
    mov ds, ax
    mov ss, ax
    mov sp, 0x7c00
    sti
    cld
    mov si, greeting
.next:
    lodsb
    test al, al
    jz .key
    mov ah, 0x0e            ; teletype output
    mov bx, 0x0007
    int 0x10
    jmp .next
.key:
    xor ah, ah              ; wait for a key
    int 0x16
    mov dx, PM1A_CNT
    mov ax, SLEEP_S5
    out dx, ax
.halt:
    hlt
    jmp .halt

greeting:
    db "Hallo! Trennwick hat diese CD im virtuellen PC gebootet.", 13, 10, 13, 10
    db "Eine Taste schaltet den PC aus; Trennwick raeumt danach auf.", 13, 10, 0

    times 2048 - ($ - $$) db 0
