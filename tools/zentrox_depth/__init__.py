"""The zentrox-depth command: camera information and live depth streaming on top of ZentroxDepthCamera."""
