#pragma once
      integer :: from_once
