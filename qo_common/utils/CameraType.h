#pragma once

// Role of a camera in its lane.
enum class CameraType : int { LPR = 0, OV = 1, FACE = 2, UNDEFINED = -1 };
