// Plain geometric values: points and rectangles of any number type.
//
// A rectangle is its top-left corner and its extent, in the field order x,
// y, width, height (the order in which they are stored and serialised).
#ifndef BASALT_GEOM_GEOMETRY_H
#define BASALT_GEOM_GEOMETRY_H

namespace basalt {
namespace geom {

template <class T>
struct PointT {
  T x = T();
  T y = T();

  PointT() = default;
  PointT(T inX, T inY) : x(inX), y(inY) {}
  bool operator==(const PointT& inOther) const { return x == inOther.x && y == inOther.y; }
  bool operator!=(const PointT& inOther) const { return !(*this == inOther); }
};

template <class T>
struct RectT {
  T x = T();
  T y = T();
  T width = T();
  T height = T();

  RectT() = default;
  RectT(T inX, T inY, T inWidth, T inHeight) : x(inX), y(inY), width(inWidth), height(inHeight) {}
  // Empty when either extent is below one unit.
  bool IsEmpty() const { return width < T(1) || height < T(1); }
  bool operator==(const RectT& inOther) const {
    return x == inOther.x && y == inOther.y && width == inOther.width && height == inOther.height;
  }
  bool operator!=(const RectT& inOther) const { return !(*this == inOther); }
};

typedef PointT<int> Point32;
typedef PointT<float> PointF32;
typedef RectT<int> Rect32;
typedef RectT<float> RectF32;

}  // namespace geom
}  // namespace basalt

#endif  // BASALT_GEOM_GEOMETRY_H
