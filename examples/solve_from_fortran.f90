! Solving a symmetric positive-definite band system from Fortran.
!
! The C entries take a pointer to every argument, so an interface block
! with bind(C) and no VALUE attribute calls them directly:
!   1. band_solve_d               factorise and solve in one call;
!   2. band_factor_d once, then band_solve_with_factor_d for each
!      right-hand side as it arrives.
! And the LAPACK drop-in:
!   3. BAND_PBSV_D takes DPBSV's arguments and is called exactly as DPBSV
!      is, as an external procedure with no interface block.
!
! Every solve prints INFO and the scaled residual
!     max_i |(A x - b)_i| / (|A| |x|)        (infinity norms);
! the program stops with code 1 if any INFO is nonzero or any residual is
! above the tolerance.
program solve_from_fortran
    use, intrinsic :: iso_c_binding, only: c_int, c_double
    use, intrinsic :: ieee_arithmetic, only: ieee_is_finite, ieee_value, ieee_positive_inf
    implicit none

    interface
        subroutine band_solve_d(a, n, hb, b, nrhs, work, info) bind(C, name="band_solve_d")
            import :: c_int, c_double
            real(c_double), intent(inout) :: a(*), b(*)
            integer(c_int), intent(in) :: n, hb, nrhs
            real(c_double), intent(out) :: work(*)
            integer(c_int), intent(out) :: info
        end subroutine band_solve_d

        subroutine band_factor_d(a, n, hb, slab_rows, info) bind(C, name="band_factor_d")
            import :: c_int, c_double
            real(c_double), intent(inout) :: a(*)
            integer(c_int), intent(in) :: n, hb, slab_rows
            integer(c_int), intent(out) :: info
        end subroutine band_factor_d

        subroutine band_solve_with_factor_d(a, n, hb, b, nrhs, slab_rows, info) &
                bind(C, name="band_solve_with_factor_d")
            import :: c_int, c_double
            real(c_double), intent(in) :: a(*)
            real(c_double), intent(inout) :: b(*)
            integer(c_int), intent(in) :: n, hb, nrhs, slab_rows
            integer(c_int), intent(out) :: info
        end subroutine band_solve_with_factor_d
    end interface

    integer(c_int), parameter :: n = 2000, hb = 5
    ! A generous multiple of (hb + 1) * unit roundoff, far below the residual
    ! of any solution that is wrong in a single element.
    real(c_double), parameter :: tol = 64 * (hb + 1) * epsilon(1.0_c_double)

    ! Library band storage: A(r, r+k) is a((r-1)*(hb+1) + k + 1).
    real(c_double) :: a((n - 1) * (hb + 1) + 1)
    real(c_double) :: b(n, 2), x(n, 2), work(2 * n * hb)
    ! Every argument goes by reference, constants included.
    integer(c_int), parameter :: one = 1, two = 2, default_slab_rows = 0
    integer(c_int) :: info, s, i, j
    integer :: failures = 0
    ! LAPACK's upper band layout: AB(KD+1+I-J, J) = A(I, J) for
    ! MAX(1, J-KD) <= I <= J; LDAB = KD+1 here.
    double precision :: ab(hb + 1, n)
    external :: band_pbsv_d
    character(len=40) :: what

    print '(a, i0, a, i0)', 'n = ', n, ', half bandwidth = ', hb

    ! The check itself must be able to fail: x = (1, ..., 1) solves
    ! A x = (row sums of A); moving one element of it by 1e-9 must exceed
    ! the tolerance.
    do i = 1, n
        b(i, 1) = sum([(element(i, j), j = max(1, i - hb), min(n, i + hb))])
    end do
    x(:, 1) = 1
    x(n / 2, 1) = x(n / 2, 1) + 1e-9_c_double
    if (.not. scaled_residual(x(:, 1), b(:, 1)) > tol) then
        print '(a)', 'the residual check does not notice a wrong solution'
        stop 1
    end if

    ! 1. Block-tree solver, two right-hand sides (the columns of x).  It
    !    needs 2*n*hb elements of work area and leaves factor blocks in a.
    call fill_band(a)
    do s = 1, 2
        do i = 1, n
            b(i, s) = rhs(i, s)
        end do
    end do
    x = b
    call band_solve_d(a, n, hb, x, two, work, info)
    call report('band_solve_d, right-hand side 1', info, scaled_residual(x(:, 1), b(:, 1)))
    call report('band_solve_d, right-hand side 2', info, scaled_residual(x(:, 2), b(:, 2)))

    ! 2. Slab solver: factorise once (a then holds U, A = U^T U), then one
    !    solve per right-hand side as each arrives.  slab_rows = 0 takes the
    !    default slab height.
    call fill_band(a)
    call band_factor_d(a, n, hb, default_slab_rows, info)
    call report_info('band_factor_d', info)
    do s = 1, 3
        do i = 1, n
            b(i, 1) = rhs(i, s)
        end do
        x(:, 1) = b(:, 1)
        call band_solve_with_factor_d(a, n, hb, x, one, default_slab_rows, info)
        write (what, '(a, i0)') 'band_solve_with_factor_d, arrival ', s
        call report(what, info, scaled_residual(x(:, 1), b(:, 1)))
    end do

    ! 3. LAPACK drop-in: the call DPBSV would get, under another name.  The
    !    top-left corner of AB (the cells for I < 1) is never read; it holds a
    !    value that would spoil the solution if it were.
    ab = -99
    do j = 1, n
        do i = max(1, j - hb), j
            ab(hb + 1 + i - j, j) = element(i, j)
        end do
    end do
    do s = 1, 2
        do i = 1, n
            b(i, s) = rhs(i, s)
        end do
    end do
    x = b
    call band_pbsv_d('U', n, hb, 2, ab, hb + 1, x, n, info)
    call report("band_pbsv_d 'U', right-hand side 1", info, scaled_residual(x(:, 1), b(:, 1)))
    call report("band_pbsv_d 'U', right-hand side 2", info, scaled_residual(x(:, 2), b(:, 2)))

    if (failures > 0) then
        print '(i0, a)', failures, ' check(s) FAILED'
        stop 1
    end if

contains

    ! A(i, j) of the example matrix for |i - j| <= hb: diagonally dominant
    ! (4 > 2 * (1/2 + ... + 1/6)), hence positive definite.
    pure real(c_double) function element(i, j)
        integer(c_int), intent(in) :: i, j
        if (i == j) then
            element = 4 + mod(i, 3)
        else
            element = 1.0_c_double / (abs(i - j) + 1)
        end if
    end function element

    pure real(c_double) function rhs(i, s)
        integer(c_int), intent(in) :: i, s
        rhs = 1 + mod(7 * i + 3 * s, 11) / 10.0_c_double
    end function rhs

    subroutine fill_band(a)
        real(c_double), intent(out) :: a(:)
        integer(c_int) :: r, k
        a = 0
        do r = 1, n
            do k = 0, min(hb, n - r)
                a((r - 1) * (hb + 1) + k + 1) = element(r, r + k)
            end do
        end do
    end subroutine fill_band

    ! max_i |(A x - b)_i| / (|A| |x|), from element(), since the solvers
    ! overwrite a.  A solution with an infinity or NaN in it gets an
    ! infinite residual (MAX need not notice a NaN).
    real(c_double) function scaled_residual(x, b)
        real(c_double), intent(in) :: x(:), b(:)
        real(c_double) :: worst, norm_a, y, row
        integer(c_int) :: i, j
        if (.not. all(ieee_is_finite(x))) then
            scaled_residual = ieee_value(1.0_c_double, ieee_positive_inf)
            return
        end if
        worst = 0
        norm_a = 0
        do i = 1, n
            y = 0
            row = 0
            do j = max(1, i - hb), min(n, i + hb)
                y = y + element(i, j) * x(j)
                row = row + abs(element(i, j))
            end do
            worst = max(worst, abs(y - b(i)))
            norm_a = max(norm_a, row)
        end do
        scaled_residual = worst / (norm_a * maxval(abs(x)))
    end function scaled_residual

    subroutine report_info(what, info)
        character(len=*), intent(in) :: what
        integer(c_int), intent(in) :: info
        print '(a, t40, a, i0, 2x, a)', what, 'INFO ', info, merge('ok    ', 'FAILED', info == 0)
        if (info /= 0) failures = failures + 1
    end subroutine report_info

    subroutine report(what, info, residual)
        character(len=*), intent(in) :: what
        integer(c_int), intent(in) :: info
        real(c_double), intent(in) :: residual
        logical :: ok
        ok = info == 0 .and. residual <= tol
        print '(a, t40, a, i0, a, es9.2, 2x, a)', what, 'INFO ', info, '  scaled residual ', residual, &
            merge('ok    ', 'FAILED', ok)
        if (.not. ok) failures = failures + 1
    end subroutine report

end program solve_from_fortran
