#pragma once

#include <cstddef>

constexpr std::size_t kTriviaFactCount = 58;

// The trivia sentences, in their fixed order.
extern const char* const triviaFacts[kTriviaFactCount];
