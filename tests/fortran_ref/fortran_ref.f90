! Writes what gfortran itself writes for the values it is given, so that the
! tests can compare quorin's text fields with it byte for byte.
!
! Input records (free-form):  R <bits>   a real given by its 64 bits
!                             I <value>  an integer
! Output per R record: the free-form line of the real, then the real in
! D20.12, F20.12, F10.6, F6.3, F12.6, F4.3, F5.3, F8.0, F5.1, each on its own line.
! Output per I record: the free-form line, I0, I4.4.
! An M record prints a fixed set of free-form lines mixing item kinds.
!
! With one argument, the name of a file of raw doubles (native byte order),
! it writes each of them in D20.12 on its own line instead: the sweep of the
! D20.12 field over a million values.
!
! With two arguments, a file name and a kind with a count ("R4", "I3",
! "L2", "A2": reals, integers, logicals, texts), it makes list-directed reads of that
! many items from the file until one fails, and writes a line per read: the
! iostat, then the items (reals by their bits, texts in brackets without
! trailing blanks).  The items start as -1, -2, ... (false for logicals, x
! for texts) and keep what each read leaves them.
program fortran_ref
  implicit none
  character(len=1) :: kind
  integer(8) :: bits, nbytes
  integer :: ios, iv, n, k
  integer :: is(8)
  logical :: ls(8)
  character(len=40) :: as(8)
  real(8) :: x
  real(8), allocatable :: xs(:)
  character(len=64) :: buf
  character(len=4096) :: path
  if (command_argument_count() > 1) then
    call get_command_argument(1, path)
    call get_command_argument(2, buf)
    read(buf(2:), *) n
    is = [(-k, k = 1, 8)]
    xs = [(-real(k, 8), k = 1, 8)]
    ls = .false.
    as = 'x'
    open(10, file=trim(path), status='old')
    do
      select case (buf(1:1))
      case ('R')
        read(10, *, iostat=ios) xs(1:n)
        write(*, '(I0,*(1X,Z16.16))') ios, xs(1:n)
      case ('I')
        read(10, *, iostat=ios) is(1:n)
        write(*, '(I0,*(1X,I0))') ios, is(1:n)
      case ('L')
        read(10, *, iostat=ios) ls(1:n)
        write(*, '(I0,*(1X,L1))') ios, ls(1:n)
      case default
        read(10, *, iostat=ios) as(1:n)
        write(*, '(I0,*(1X,A))') ios, ('[' // trim(as(k)) // ']', k = 1, n)
      end select
      if (ios /= 0) exit
    end do
    return
  else if (command_argument_count() > 0) then
    call get_command_argument(1, path)
    open(10, file=trim(path), access='stream', form='unformatted', status='old')
    inquire(10, size=nbytes)
    allocate(xs(nbytes / 8))
    read(10) xs
    close(10)
    write(*, '(D20.12)') xs
    deallocate(xs)  ! freed before the end, so leak checkers stay quiet
    return
  end if
  do
    read(*, '(A1,1X,A)', iostat=ios) kind, buf
    if (ios /= 0) exit
    if (kind == 'R') then
      read(buf, *) bits
      x = transfer(bits, x)
      print *, x
      write(*, '(D20.12)') x
      write(*, '(F20.12)') x
      write(*, '(F10.6)') x
      write(*, '(F6.3)') x
      write(*, '(F12.6)') x
      write(*, '(F4.3)') x
      write(*, '(F5.3)') x
      write(*, '(F8.0)') x
      write(*, '(F5.1)') x
    else if (kind == 'M') then
      print *, 'Charge:', -1
      print *, 'ab', 'cd'
      print *, 'x', 1.0d0, 'y'
      print *, 3, 'abc', 4
      print *, .true., 1, .false.
      print *, ''
      print *, 'Atoms:', 3, 'and', -2.5d-7, .false., 'end'
    else if (kind == 'I') then
      read(buf, *) iv
      print *, iv
      write(*, '(I0)') iv
      write(*, '(I4.4)') iv
    end if
  end do
end program fortran_ref
