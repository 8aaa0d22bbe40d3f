// SHA-256 block function for x86-64 processors with AVX2 and BMI2.
//
//   void ks_sha256_rorx_avx2(const void* data, uint32_t* state, uint64_t blocks)
//
// Compresses `blocks` (at least one) whole 64-byte blocks into the eight
// state words. Callers check the processor first (cpu_info::avx2, bmi2).
//
// The message schedule of two blocks at a time is computed in YMM registers
// (one block per 128-bit lane) into a table of W[t]; K[t] is folded into an
// address computation of the rounds instead. The schedule of the next pair
// of blocks is computed while the rounds of the current pair run, six
// schedule steps interleaved with the 64 rounds of each block.
//
// The rounds are scalar, written so that from e to the new e and from a to
// the new a there are only four dependent operations each:
//   new e = (d + h + K + W) + (e & f) + (~e & g) + Sigma1(e)
//   new a = new e - d + (a & (b ^ c)) + (b & c) + Sigma0(a)
// The two Maj terms never share a bit, so they may be added. b ^ c and
// b & c come from the previous round (a ^ b and a & b there), and
// (b & c) - d is formed before d becomes the new e. The register names
// rotate over ten registers from round to round; the 64 rounds are written
// out with their names, so no value is ever moved.

	.section .note.GNU-stack, "", @progbits

	.section .rodata
	.balign	32
.Lflip:		// byte swap of each 32-bit word
	.byte	3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12
	.byte	3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12
.Lto_low:	// words 0 and 2 of each lane to words 0 and 1, zeros above
	.byte	0, 1, 2, 3, 8, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1
	.byte	0, 1, 2, 3, 8, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1
.Lto_high:	// words 0 and 2 of each lane to words 2 and 3, zeros below
	.byte	-1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 3, 8, 9, 10, 11
	.byte	-1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 3, 8, 9, 10, 11

// Scratch registers of the rounds.
#define Y0 %esi
#define Y1 %edi
#define Y2 %r13d
// Table of the pair of blocks whose rounds run (plus 16 bytes for the
// second block), and table of the next pair, being scheduled.
#define P %r14
#define Q %r15

#define FLIP %ymm8
#define TO_LOW %ymm9
#define TO_HIGH %ymm10
#define T0 %ymm4
#define T1 %ymm5
#define T2 %ymm6
#define T3 %ymm7

// Stack frame, 64-byte aligned: the saved arguments, then two tables of
// 64 words times two blocks (word t of the first block at
// (t / 4) * 32 + (t % 4) * 4, of the second 16 bytes further).
#define DATA 0		// first block of the current pair
#define STATE 8
#define LEFT 16		// blocks left, the current pair included
#define SAVED_RSP 24
#define TABLE0 64
#define TABLE1 576
#define FRAME 1088

// One round; see above. bx is b ^ c and ba is b & c on entry; on exit the
// new a is in ba, the new e in d, and h and bx hold a ^ b and a & b. The
// lea adds in 32-bit address arithmetic, which wraps as the sums must.
.macro round k, w, a, b, c, d, e, f, g, h, bx, ba
	sub	\d, \ba
	lea	\k(\d, \h), \d
	rorx	$6, \e, Y0
	rorx	$11, \e, Y1
	add	\w(P), \d
	andn	\g, \e, Y2
	xor	Y1, Y0
	rorx	$25, \e, Y1
	add	Y2, \d
	mov	\e, Y2
	and	\f, Y2
	xor	Y1, Y0
	add	Y2, \d
	add	Y0, \d
	rorx	$2, \a, Y0
	rorx	$13, \a, Y1
	and	\a, \bx
	mov	\a, \h
	xor	\b, \h
	add	\bx, \ba
	mov	\a, \bx
	and	\b, \bx
	xor	Y1, Y0
	rorx	$22, \a, Y1
	add	\d, \ba
	xor	Y1, Y0
	add	Y0, \ba
.endm

// One schedule step in four parts: from x0 = W[t-16..t-13], x1, x2 and
// x3 = W[t-4..t-1] of both blocks, W[t..t+3] into x0 and into the table
// of the next pair at `off`. sigma1 needs W[t-2] and W[t-1] for the first
// two words and the two new words for the last two; it is taken of words
// doubled into 64-bit lanes, where a 64-bit shift is a 32-bit rotation.
.macro schedule_1 x0, x1, x2, x3
	vpalignr	$4, \x0, \x1, T0	// W[t-15..t-12]
	vpalignr	$4, \x2, \x3, T1	// W[t-7..t-4]
	vpsrld	$7, T0, T2
	vpslld	$25, T0, T3
	vpaddd	T1, \x0, \x0
	vpxor	T3, T2, T2
	vpsrld	$18, T0, T3
.endm
.macro schedule_2 x0, x1, x2, x3
	vpxor	T3, T2, T2
	vpslld	$14, T0, T3
	vpxor	T3, T2, T2
	vpsrld	$3, T0, T3
	vpxor	T3, T2, T2		// sigma0(W[t-15..t-12])
	vpshufd	$0xfa, \x3, T1		// W[t-2], W[t-2], W[t-1], W[t-1]
	vpaddd	T2, \x0, \x0
.endm
.macro schedule_3 x0, x1, x2, x3
	vpsrlq	$17, T1, T2
	vpsrlq	$19, T1, T3
	vpxor	T3, T2, T2
	vpsrld	$10, T1, T3
	vpxor	T3, T2, T2
	vpshufb	TO_LOW, T2, T2
	vpaddd	T2, \x0, \x0		// W[t], W[t+1]
.endm
.macro schedule_4 x0, x1, x2, x3, off
	vpshufd	$0x50, \x0, T1		// W[t], W[t], W[t+1], W[t+1]
	vpsrlq	$17, T1, T2
	vpsrlq	$19, T1, T3
	vpxor	T3, T2, T2
	vpsrld	$10, T1, T3
	vpxor	T3, T2, T2
	vpshufb	TO_HIGH, T2, T2
	vpaddd	T2, \x0, \x0		// W[t+2], W[t+3]
	vmovdqa	\x0, \off(Q)
.endm
.macro schedule_step x0, x1, x2, x3, off
	schedule_1	\x0, \x1, \x2, \x3
	schedule_2	\x0, \x1, \x2, \x3
	schedule_3	\x0, \x1, \x2, \x3
	schedule_4	\x0, \x1, \x2, \x3, \off
.endm

// Words 0..15 of the blocks at p and q (q == p for a lone block) into
// ymm0..ymm3 and the table at Q.
.macro load_pair p, q
	vmovdqu	(\p), %xmm0
	vmovdqu	16(\p), %xmm1
	vmovdqu	32(\p), %xmm2
	vmovdqu	48(\p), %xmm3
	vinserti128	$1, (\q), %ymm0, %ymm0
	vinserti128	$1, 16(\q), %ymm1, %ymm1
	vinserti128	$1, 32(\q), %ymm2, %ymm2
	vinserti128	$1, 48(\q), %ymm3, %ymm3
	vpshufb	FLIP, %ymm0, %ymm0
	vpshufb	FLIP, %ymm1, %ymm1
	vpshufb	FLIP, %ymm2, %ymm2
	vpshufb	FLIP, %ymm3, %ymm3
	vmovdqa	%ymm0, 0(Q)
	vmovdqa	%ymm1, 32(Q)
	vmovdqa	%ymm2, 64(Q)
	vmovdqa	%ymm3, 96(Q)
.endm

	.text
	.globl	ks_sha256_rorx_avx2
	.hidden	ks_sha256_rorx_avx2
	.type	ks_sha256_rorx_avx2, @function
	.balign	64
ks_sha256_rorx_avx2:
	.cfi_startproc
	push	%rbx
	.cfi_adjust_cfa_offset 8
	.cfi_offset %rbx, -16
	push	%rbp
	.cfi_adjust_cfa_offset 8
	.cfi_offset %rbp, -24
	push	%r12
	.cfi_adjust_cfa_offset 8
	.cfi_offset %r12, -32
	push	%r13
	.cfi_adjust_cfa_offset 8
	.cfi_offset %r13, -40
	push	%r14
	.cfi_adjust_cfa_offset 8
	.cfi_offset %r14, -48
	push	%r15
	.cfi_adjust_cfa_offset 8
	.cfi_offset %r15, -56
	mov	%rsp, %rax
	.cfi_def_cfa_register %rax
	sub	$FRAME, %rsp
	and	$-64, %rsp
	mov	%rax, SAVED_RSP(%rsp)
	// The frame address is now in memory only: describe the CFA through it.
	// DW_CFA_def_cfa_expression: *(rsp + SAVED_RSP) + 56
	.cfi_escape 0x0f, 0x05, 0x77, SAVED_RSP, 0x06, 0x23, 0x38
	mov	%rsi, STATE(%rsp)
	mov	%rdx, LEFT(%rsp)
	mov	%rdi, DATA(%rsp)
	vmovdqa	.Lflip(%rip), FLIP
	vmovdqa	.Lto_low(%rip), TO_LOW
	vmovdqa	.Lto_high(%rip), TO_HIGH

	// The first pair's schedule on its own.
	lea	64(%rdi), %rsi
	cmp	$2, %rdx
	cmovb	%rdi, %rsi
	lea	TABLE0(%rsp), Q
	load_pair	%rdi, %rsi
	schedule_step	%ymm0, %ymm1, %ymm2, %ymm3, 128
	schedule_step	%ymm1, %ymm2, %ymm3, %ymm0, 160
	schedule_step	%ymm2, %ymm3, %ymm0, %ymm1, 192
	schedule_step	%ymm3, %ymm0, %ymm1, %ymm2, 224
	schedule_step	%ymm0, %ymm1, %ymm2, %ymm3, 256
	schedule_step	%ymm1, %ymm2, %ymm3, %ymm0, 288
	schedule_step	%ymm2, %ymm3, %ymm0, %ymm1, 320
	schedule_step	%ymm3, %ymm0, %ymm1, %ymm2, 352
	schedule_step	%ymm0, %ymm1, %ymm2, %ymm3, 384
	schedule_step	%ymm1, %ymm2, %ymm3, %ymm0, 416
	schedule_step	%ymm2, %ymm3, %ymm0, %ymm1, 448
	schedule_step	%ymm3, %ymm0, %ymm1, %ymm2, 480
	lea	TABLE0(%rsp), P

	mov	STATE(%rsp), %rsi
	mov	0(%rsi), %eax
	mov	4(%rsi), %ebx
	mov	8(%rsi), %ecx
	mov	12(%rsi), %edx
	mov	16(%rsi), %r8d
	mov	20(%rsi), %r9d
	mov	24(%rsi), %r10d
	mov	28(%rsi), %r11d
	mov	%ebx, %r12d
	xor	%ecx, %r12d
	mov	%ebx, %ebp
	and	%ecx, %ebp

.Lpair:
	// The next pair: the two blocks after this pair, one block, or (after
	// the last pair) this pair again, scheduled for nothing but never read
	// past the data.
	mov	DATA(%rsp), %rdi
	lea	128(%rdi), %rsi
	cmpq	$2, LEFT(%rsp)
	cmovbe	%rdi, %rsi
	lea	64(%rsi), %r13
	cmpq	$3, LEFT(%rsp)
	cmovbe	%rsi, %r13
	lea	TABLE1(%rsp), Q
	lea	TABLE0(%rsp), %rdi
	cmp	%rdi, P
	cmovne	%rdi, Q
	load_pair	%rsi, %r13

.Lblock:
	round	0x428a2f98, 0, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp
	round	0x71374491, 4, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d
	round	0xb5c0fbcf, 8, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d
	schedule_1	%ymm0, %ymm1, %ymm2, %ymm3
	round	0xe9b5dba5, 12, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d
	round	0x3956c25b, 32, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d
	schedule_2	%ymm0, %ymm1, %ymm2, %ymm3
	round	0x59f111f1, 36, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d
	round	0x923f82a4, 40, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx
	schedule_3	%ymm0, %ymm1, %ymm2, %ymm3
	round	0xab1c5ed5, 44, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx
	round	0xd807aa98, 64, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx
	schedule_4	%ymm0, %ymm1, %ymm2, %ymm3, 128
	round	0x12835b01, 68, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax
	round	0x243185be, 72, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp
	round	0x550c7dc3, 76, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d
	round	0x72be5d74, 96, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d
	schedule_1	%ymm1, %ymm2, %ymm3, %ymm0
	round	0x80deb1fe, 100, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d
	round	0x9bdc06a7, 104, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d
	schedule_2	%ymm1, %ymm2, %ymm3, %ymm0
	round	0xc19bf174, 108, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d
	round	0xe49b69c1, 128, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx
	schedule_3	%ymm1, %ymm2, %ymm3, %ymm0
	round	0xefbe4786, 132, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx
	round	0x0fc19dc6, 136, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx
	schedule_4	%ymm1, %ymm2, %ymm3, %ymm0, 160
	round	0x240ca1cc, 140, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax
	round	0x2de92c6f, 160, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp
	round	0x4a7484aa, 164, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d
	round	0x5cb0a9dc, 168, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d
	schedule_1	%ymm2, %ymm3, %ymm0, %ymm1
	round	0x76f988da, 172, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d
	round	0x983e5152, 192, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d
	schedule_2	%ymm2, %ymm3, %ymm0, %ymm1
	round	0xa831c66d, 196, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d
	round	0xb00327c8, 200, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx
	schedule_3	%ymm2, %ymm3, %ymm0, %ymm1
	round	0xbf597fc7, 204, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx
	round	0xc6e00bf3, 224, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx
	schedule_4	%ymm2, %ymm3, %ymm0, %ymm1, 192
	round	0xd5a79147, 228, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax
	round	0x06ca6351, 232, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp
	round	0x14292967, 236, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d
	round	0x27b70a85, 256, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d
	schedule_1	%ymm3, %ymm0, %ymm1, %ymm2
	round	0x2e1b2138, 260, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d
	round	0x4d2c6dfc, 264, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d
	schedule_2	%ymm3, %ymm0, %ymm1, %ymm2
	round	0x53380d13, 268, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d
	round	0x650a7354, 288, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx
	schedule_3	%ymm3, %ymm0, %ymm1, %ymm2
	round	0x766a0abb, 292, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx
	round	0x81c2c92e, 296, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx
	schedule_4	%ymm3, %ymm0, %ymm1, %ymm2, 224
	round	0x92722c85, 300, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax
	round	0xa2bfe8a1, 320, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp
	round	0xa81a664b, 324, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d
	round	0xc24b8b70, 328, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d
	schedule_1	%ymm0, %ymm1, %ymm2, %ymm3
	round	0xc76c51a3, 332, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d
	round	0xd192e819, 352, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d
	schedule_2	%ymm0, %ymm1, %ymm2, %ymm3
	round	0xd6990624, 356, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d
	round	0xf40e3585, 360, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx
	schedule_3	%ymm0, %ymm1, %ymm2, %ymm3
	round	0x106aa070, 364, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx
	round	0x19a4c116, 384, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx
	schedule_4	%ymm0, %ymm1, %ymm2, %ymm3, 256
	round	0x1e376c08, 388, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax
	round	0x2748774c, 392, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp
	round	0x34b0bcb5, 396, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d
	round	0x391c0cb3, 416, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d
	schedule_1	%ymm1, %ymm2, %ymm3, %ymm0
	round	0x4ed8aa4a, 420, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d
	round	0x5b9cca4f, 424, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d
	schedule_2	%ymm1, %ymm2, %ymm3, %ymm0
	round	0x682e6ff3, 428, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d
	round	0x748f82ee, 448, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx
	schedule_3	%ymm1, %ymm2, %ymm3, %ymm0
	round	0x78a5636f, 452, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx, %ecx
	round	0x84c87814, 456, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax, %ebx
	schedule_4	%ymm1, %ymm2, %ymm3, %ymm0, 288
	round	0x8cc70208, 460, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp, %eax
	round	0x90befffa, 480, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d, %ebp
	round	0xa4506ceb, 484, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d, %r12d
	round	0xbef9a3f7, 488, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d, %r11d
	round	0xc67178f2, 492, %r11d, %r12d, %ebp, %eax, %ebx, %ecx, %edx, %r8d, %r9d, %r10d
	// The block is done: add it into the state, and start the next block
	// with every value in the register it had at the first round.
	mov	STATE(%rsp), %rsi
	add	0(%rsi), %r10d
	add	4(%rsi), %r11d
	add	8(%rsi), %r12d
	add	12(%rsi), %ebp
	add	16(%rsi), %eax
	add	20(%rsi), %ebx
	add	24(%rsi), %ecx
	add	28(%rsi), %edx
	mov	%r10d, 0(%rsi)
	mov	%r11d, 4(%rsi)
	mov	%r12d, 8(%rsi)
	mov	%ebp, 12(%rsi)
	mov	%eax, 16(%rsi)
	mov	%ebx, 20(%rsi)
	mov	%ecx, 24(%rsi)
	mov	%edx, 28(%rsi)
	mov	%eax, %r8d
	mov	%ebx, %r9d
	mov	%r10d, %eax
	mov	%r11d, %ebx
	mov	%ecx, %r10d
	mov	%edx, %r11d
	mov	%r12d, %ecx
	mov	%ebp, %edx
	mov	%ebx, %r12d
	xor	%ecx, %r12d
	mov	%ebx, %ebp
	and	%ecx, %ebp
	// Six steps moved the schedule window by two registers.
	vmovdqa	%ymm0, T0
	vmovdqa	%ymm1, T1
	vmovdqa	%ymm2, %ymm0
	vmovdqa	%ymm3, %ymm1
	vmovdqa	T0, %ymm2
	vmovdqa	T1, %ymm3

	// The second block of the pair, if there is one: the same code with
	// its words 16 bytes further and the other half of the next schedule.
	test	$16, P
	jnz	.Lpair_done
	cmpq	$2, LEFT(%rsp)
	jb	.Lpair_done
	add	$16, P
	add	$192, Q
	jmp	.Lblock

.Lpair_done:
	subq	$2, LEFT(%rsp)
	jbe	.Ldone
	addq	$128, DATA(%rsp)
	and	$-64, P
	lea	TABLE1(%rsp), %rsi
	lea	TABLE0(%rsp), %rdi
	cmp	%rsi, P
	cmove	%rdi, %rsi
	mov	%rsi, P
	jmp	.Lpair

.Ldone:
	// The tables hold the message words: clear them.
	vpxor	%xmm0, %xmm0, %xmm0
	lea	TABLE0(%rsp), %rsi
	mov	$32, %ecx
1:
	vmovdqa	%ymm0, (%rsi)
	add	$32, %rsi
	dec	%ecx
	jnz	1b
	vzeroall
	mov	SAVED_RSP(%rsp), %rsp
	.cfi_def_cfa %rsp, 56
	pop	%r15
	.cfi_adjust_cfa_offset -8
	pop	%r14
	.cfi_adjust_cfa_offset -8
	pop	%r13
	.cfi_adjust_cfa_offset -8
	pop	%r12
	.cfi_adjust_cfa_offset -8
	pop	%rbp
	.cfi_adjust_cfa_offset -8
	pop	%rbx
	.cfi_adjust_cfa_offset -8
	ret
	.cfi_endproc
	.size	ks_sha256_rorx_avx2, .-ks_sha256_rorx_avx2
