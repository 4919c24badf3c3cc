// Row matrices of training batches (one allocation per row, so batches pass rows by pointer).
#include "matrix.h"

#include "utils.h"

#include <cstdlib>

matrix make_matrix(int rows, int cols)
{
    matrix m;
    m.rows = rows;
    m.cols = cols;
    m.vals = (float **)xcalloc(rows > 0 ? rows : 1, sizeof(float *));
    for (int i = 0; i < rows; ++i) m.vals[i] = (float *)xcalloc(cols > 0 ? cols : 1, sizeof(float));
    return m;
}

void free_matrix(matrix m)
{
    for (int i = 0; i < m.rows; ++i) free(m.vals[i]);
    free(m.vals);
}

matrix concat_matrix(matrix a, matrix b)
{
    matrix m;
    m.cols = a.cols;
    m.rows = a.rows + b.rows;
    m.vals = (float **)xcalloc(m.rows > 0 ? m.rows : 1, sizeof(float *));
    int count = 0;
    for (int i = 0; i < a.rows; ++i) m.vals[count++] = a.vals[i];
    for (int i = 0; i < b.rows; ++i) m.vals[count++] = b.vals[i];
    return m;
}
