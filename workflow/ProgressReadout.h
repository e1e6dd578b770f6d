#pragma once

#include <string>

// The text beside the progress bar. While code is written the bar measures
// real progress: percent, time elapsed and the time left estimated from the
// rate so far ("42%  0:35 elapsed  0:48 left"; no estimate before the first
// percent). During a fixed wait (restart, conversion) the seconds left
// ("12 s left").
std::string MeasuredProgressText(int percent, double elapsedSeconds);
std::string FixedWaitText(int secondsLeft);
