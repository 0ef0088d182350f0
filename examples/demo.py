"""A first look at loomfeather_cpp: box geometry and the build report."""
import numpy as np

import loomfeather_cpp as lf

tracks = np.array([[0.0, 0.0, 2.0, 2.0], [10.0, 10.0, 20.0, 30.0]])
detections = np.array([[1.0, 1.0, 3.0, 3.0], [11.0, 9.0, 21.0, 29.0], [50.0, 50.0, 60.0, 60.0]])

print("build_info:", lf.build_info())
print("eigen_selftest:", lf.eigen_selftest())
print("xyxy_to_xyah(detections):\n", lf.xyxy_to_xyah(detections))
print("box_area(detections):", lf.box_area(detections))
print("iou_matrix(tracks, detections):\n", lf.iou_matrix(tracks, detections))
print("giou_matrix(tracks, detections):\n", lf.giou_matrix(tracks, detections))
print("clip_boxes to 55x55:\n", lf.clip_boxes(detections, 55.0, 55.0))
