#pragma once

// Release channel of an installation. The value is also the index of the channel's entry in the
// version service's reply, so the numbers are fixed.
enum UpdateChannel { Stable = 0, Beta = 1, Alpha = 2 };
