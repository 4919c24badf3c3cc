// Row matrices of training batches: every row is its own allocation so that loaded rows can be
// handed between batches without copying.
#pragma once
#include "quillon.h"

matrix make_matrix(int rows, int cols);
void free_matrix(matrix m);
// A new row-pointer array holding the rows of a, then those of b, with the column count of a;
// the rows themselves are shared.
matrix concat_matrix(matrix a, matrix b);
