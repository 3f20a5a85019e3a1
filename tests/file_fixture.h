// The set-up most file tests share: a fresh directory, removed afterwards, and the input and output paths in it.
#ifndef MISTVANE_TESTS_FILE_FIXTURE_H
#define MISTVANE_TESTS_FILE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "test_files.h"

class FileFixture : public testing::Test {
  protected:
    TempDir dir;
    std::string input = dir / "in.bmp";
    std::string output = dir / "out.bmp";
};

#endif
