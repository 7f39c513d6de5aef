! The baseline of the frequency-step benchmark: the file work of one
! frequency step done the plain Fortran way.  It reads the energy, the
! gradient and the force-constant triangle of a formatted checkpoint with
! list-directed reads and writes the External output with (4D20.12) and
! (3D20.12) -- the same bytes quorin writes.
!
!     freq_baseline CHECKPOINT NATOMS OUTPUT
program freq_baseline
  implicit none
  character(len=4096) :: fchk, output, arg
  character(len=256) :: line
  character(len=64) :: w1, w2, w3
  integer :: natoms, n3, i
  integer(8) :: ntri
  real(8) :: energy
  real(8), allocatable :: gradient(:), tri(:)

  call get_command_argument(1, fchk)
  call get_command_argument(2, arg)
  read(arg, *) natoms
  call get_command_argument(3, output)
  n3 = 3 * natoms
  ntri = int(n3, 8) * int(n3 + 1, 8) / 2

  open(10, file=trim(fchk), status='old', action='read')
  do
    read(10, '(A)') line
    if (line(1:12) == 'Total Energy') exit
  end do
  read(line, *) w1, w2, w3, energy
  do
    read(10, '(A)') line
    if (index(line, 'Cartesian Gradient') > 0) exit
  end do
  allocate(gradient(n3))
  read(10, *) gradient
  do
    read(10, '(A)') line
    if (index(line, 'Cartesian Force Const') > 0) exit
  end do
  allocate(tri(ntri))
  read(10, *) tri
  close(10)

  open(20, file=trim(output), status='replace', action='write')
  write(20, '(4D20.12)') energy, 0d0, 0d0, 0d0
  write(20, '(3D20.12)') gradient
  write(20, '(3D20.12)') (0d0, i = 1, 6)
  write(20, '(3D20.12)') (0d0, i = 1, 9 * natoms)
  write(20, '(3D20.12)') tri
  close(20)
end program freq_baseline
