#pragma once

// How a plate reader turns the network output into texts.
enum DecodeModes : int { GreedySearch = 0, BeamSearch = 1 };
